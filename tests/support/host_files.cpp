#include "support/host_files.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "nalpoicomm_seam.h"

namespace testsupport {
namespace {

std::string LibraryPath(const WCHAR* format) {
    char path[nalpoicomm::kPathChars];
    // Without an install directory the library forms a path from the root: none here.
    if (LibraryInstallDir().empty() || !nalpoicomm::FormConfigPath(format, path)) return std::string();
    return path;
}

}  // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    return !out.fail();
}

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

void RemoveFile(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

std::string LibraryInstallDir() {
    WCHAR dir[nalpoicomm::kModulePathChars];
    nalpoicomm::GetInstallDir(dir);
    char narrow[nalpoicomm::kPathChars];
    return dir[0] != 0 && nalpoicomm::WideToAnsi(dir, narrow, sizeof narrow) > 0 ? std::string(narrow)
                                                                                 : std::string();
}

std::string LibraryServiceConfigPath() { return LibraryPath(nalpoicomm::kServiceConfigFormat); }
std::string LibraryReplyCachePath() { return LibraryPath(nalpoicomm::kReplyCacheFormat); }

}  // namespace testsupport
