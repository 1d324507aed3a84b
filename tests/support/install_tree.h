// Every test process runs from a real, temporary install tree: main() copies
// the test executable to <tmp>/app/bin/ and re-executes it from there, so the
// library finds <tmp>/app/configdat exactly as it would in a host's tree.
#ifndef NALPOICOMM_TESTS_SUPPORT_INSTALL_TREE_H
#define NALPOICOMM_TESTS_SUPPORT_INSTALL_TREE_H

#include <string>

namespace testsupport {

// Re-executes the process from a fresh install tree unless it already runs
// from one (then returns); LeaveInstallTree() removes the tree at the end.
void EnterInstallTree(char** argv);
void LeaveInstallTree();

const std::string& InstallRoot();  // <tmp>/app
std::string ConfigDir();           // <tmp>/app/configdat
std::string ServiceConfigPath();   // <tmp>/app/configdat/serviceIP.xml
std::string ReplyCachePath();      // <tmp>/app/configdat/cc.xml

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);  // empty when missing
bool FileExists(const std::string& path);
void RemoveFile(const std::string& path);

// serviceIP.xml naming `url` as the service.
void WriteServiceConfig(const std::string& url);

}  // namespace testsupport

#endif
