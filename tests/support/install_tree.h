// Every test process runs from a real, temporary install tree: main() copies
// the test executable to <tmp>/app/bin/ and re-executes it from there, so the
// library finds <tmp>/app/configdat exactly as it would in a host's tree.
#ifndef NALPOICOMM_TESTS_SUPPORT_INSTALL_TREE_H
#define NALPOICOMM_TESTS_SUPPORT_INSTALL_TREE_H

#include <string>

#include "support/host_files.h"  // ReadFile, WriteFile, FileExists, RemoveFile

namespace testsupport {

// Re-executes the process from a fresh install tree unless it already runs
// from one (then returns); LeaveInstallTree() removes the tree at the end.
void EnterInstallTree(char** argv);
void LeaveInstallTree();

// The tree this harness made, known without asking the library: the tests
// check the library's own finding of it against this.
const std::string& InstallRoot();  // <tmp>/app
std::string ConfigDir();           // <tmp>/app/configdat
std::string ServiceConfigPath();   // <tmp>/app/configdat/serviceIP.xml
std::string ReplyCachePath();      // <tmp>/app/configdat/cc.xml

// serviceIP.xml naming `url` as the service.
void WriteServiceConfig(const std::string& url);

}  // namespace testsupport

#endif
