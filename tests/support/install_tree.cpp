#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

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

void WriteServiceConfig(const std::string& url) {
    WriteFile(ServiceConfigPath(),
              "<?xml version=\"1.0\"?>\n<ServiceConfig><ServiceUrl>" + url +
                  "</ServiceUrl></ServiceConfig>\n");
}

}  // namespace testsupport

namespace {

// Copies this executable into a fresh <tmp>/app/bin, runs it from there in a
// child and removes the tree however the child ended: a crash or a kill of
// the tests must not leave trees behind. Ends as the child ended.
[[noreturn]] void RunFromInstallTree(char** argv) {
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
    const pid_t child = fork();
    if (child == 0) {
        execv(copy.c_str(), argv);
        // A cross build's tests run under qemu-user, and without binfmt_misc
        // the kernel cannot start the target's binary: start the copy through
        // the emulator the cross toolchain names (cmake/toolchain-*.cmake).
        const char* emulator = std::getenv("NALPOI_TEST_EMULATOR");
        if (errno == ENOEXEC && emulator != nullptr) {
            argv[0] = const_cast<char*>(copy.c_str());
            std::vector<char*> through{const_cast<char*>(emulator)};
            for (char** arg = argv; *arg != nullptr; ++arg) through.push_back(*arg);
            through.push_back(nullptr);
            execv(emulator, through.data());
        }
        std::perror("execv");
        _exit(2);
    }
    // Ctrl-C and ctest's stop reach the child too (one process group); this
    // process outlives it to clean up.
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::error_code ignored;
    fs::remove_all(base, ignored);
    if (child > 0 && WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    std::exit(child > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 2);
}

}  // namespace

namespace testsupport {

void EnterInstallTree(char** argv) {
    const char* tree = std::getenv(kTreeVariable);
    if (tree == nullptr) RunFromInstallTree(argv);
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
