#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/install_tree.h"

namespace fs = std::filesystem;

namespace testsupport {
namespace {
constexpr char kTreeVariable[] = "NALPOI_TEST_TREE";
std::string gInstallRoot;
}  // namespace

const std::string& InstallRoot() { return gInstallRoot; }
std::string ConfigDir() { return gInstallRoot + "/configdat"; }
std::string ServiceConfigPath() { return ConfigDir() + "/serviceIP.xml"; }
std::string ReplyCachePath() { return ConfigDir() + "/cc.xml"; }

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool FileExists(const std::string& path) { return fs::exists(path); }

void RemoveFile(const std::string& path) {
    std::error_code ignored;
    fs::remove(path, ignored);
}

void WriteServiceConfig(const std::string& url) {
    WriteFile(ServiceConfigPath(),
              "<?xml version=\"1.0\"?>\n<ServiceConfig><ServiceUrl>" + url +
                  "</ServiceUrl></ServiceConfig>\n");
}

}  // namespace testsupport

namespace {

// Copies this executable into a fresh <tmp>/app/bin and runs it from there.
[[noreturn]] void ReexecFromInstallTree(char** argv) {
    char base[] = "/tmp/nalpoi-test-XXXXXX";
    if (mkdtemp(base) == nullptr) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    const fs::path app = fs::path(base) / "app";
    fs::create_directories(app / "bin");
    fs::create_directories(app / "configdat");
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const fs::path copy = app / "bin" / self.filename();
    fs::copy_file(self, copy);
    setenv(testsupport::kTreeVariable, app.c_str(), 1);
    execv(copy.c_str(), argv);
    std::perror("execv");
    std::exit(2);
}

}  // namespace

namespace testsupport {

void EnterInstallTree(char** argv) {
    const char* tree = std::getenv(kTreeVariable);
    if (tree == nullptr) ReexecFromInstallTree(argv);
    gInstallRoot = tree;
    unsetenv(kTreeVariable);  // children we start make their own tree
    // Loopback servers only: a proxy from the environment must not interfere.
    setenv("no_proxy", "127.0.0.1,localhost", 1);
}

void LeaveInstallTree() {
    std::error_code ignored;
    fs::remove_all(fs::path(gInstallRoot).parent_path(), ignored);
}

}  // namespace testsupport
