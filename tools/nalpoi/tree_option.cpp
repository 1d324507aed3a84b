#include "tree_option.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "service_config_file.h"

namespace nalpoicomm {
namespace {

bool MakeDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

bool CopyFile(const std::string& from, const std::string& to) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    const std::string temporary = to + ".new";
    const int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    bool ok = out >= 0;
    char buffer[65536];
    ssize_t n;
    while (ok && (n = read(in, buffer, sizeof buffer)) > 0) {
        ok = write(out, buffer, static_cast<std::size_t>(n)) == n;
    }
    close(in);
    if (out >= 0) ok = close(out) == 0 && ok;
    ok = ok && rename(temporary.c_str(), to.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
    return ok;
}

// The same file, by device and inode, or the same size and time.
bool SameExecutable(const std::string& a, const std::string& b) {
    struct stat first {}, second {};
    if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return false;
    return (first.st_dev == second.st_dev && first.st_ino == second.st_ino) ||
           (first.st_size == second.st_size && first.st_mtime <= second.st_mtime);
}

}  // namespace

bool RunInRequestedTree(int& argc, char** argv, std::string& error) {
    std::string tree;
    if (argc >= 3 && std::strcmp(argv[1], "--tree") == 0) {
        tree = argv[2];
        for (int i = 3; i <= argc; ++i) argv[i - 2] = argv[i];  // argv[argc] is null
        argc -= 2;
    } else if (const char* fromEnvironment = std::getenv("NALPOI_TREE")) {
        tree = fromEnvironment;
    }
    if (tree.empty()) return true;

    char resolved[PATH_MAX];
    std::string self;
    InstallTree running;
    if (!RunningExecutable(self, error) || !FindInstallTree(running, error)) return false;
    if (!MakeDirectories(tree + "/bin") || !MakeDirectories(tree + "/configdat") ||
        realpath(tree.c_str(), resolved) == nullptr) {
        error = "cannot create the install tree " + tree + ": " + std::strerror(errno);
        return false;
    }
    if (running.root == resolved) return true;  // the library already reads this tree's files
    const std::string target = std::string(resolved) + "/bin/nalpoi";

    if (!SameExecutable(self, target)) {
        unlink(target.c_str());
        if (link(self.c_str(), target.c_str()) != 0 && !CopyFile(self, target)) {
            error = "cannot place nalpoi in " + target + ": " + std::strerror(errno);
            return false;
        }
    }
    // The copy runs with the tree in the environment, so it knows it is there.
    setenv("NALPOI_TREE", resolved, 1);
    std::vector<char*> arguments(argv, argv + argc);
    arguments.push_back(nullptr);
    execv(target.c_str(), arguments.data());
    error = "cannot run " + target + ": " + std::strerror(errno);
    return false;
}

}  // namespace nalpoicomm
