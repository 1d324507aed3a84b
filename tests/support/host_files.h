// Files of a test host, shared by the Linux test support and the programs
// that run beside the built library on Windows too (tests/windows/
// exchange_test.cpp, tests/differential/case_runner.cpp): whole files in
// standard C++, and the install tree's root and configdat files as the
// library itself finds them.
#ifndef NALPOICOMM_TESTS_SUPPORT_HOST_FILES_H
#define NALPOICOMM_TESTS_SUPPORT_HOST_FILES_H

#include <string>

namespace testsupport {

std::string ReadFile(const std::string& path);  // empty when missing
// False when the file could not be written whole.
bool WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
void RemoveFile(const std::string& path);

// The library's own answers for this process (GetInstallDir, FormConfigPath),
// in the 8-bit form it opens its files with; empty when it finds none.
std::string LibraryInstallDir();
std::string LibraryServiceConfigPath();  // <tree>/configdat/serviceIP.xml
std::string LibraryReplyCachePath();     // <tree>/configdat/cc.xml

}  // namespace testsupport

#endif
