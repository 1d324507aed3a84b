#include "support/test_certificates.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace testsupport {
namespace {

// Runs the certificate maker with `arguments` after its directory; throws
// when it does not succeed.
void RunMaker(const std::string& dir, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"python3", NALPOI_CERTIFICATE_MAKER, dir});
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string command;
        for (const std::string& argument : arguments) command += " " + argument;
        throw std::runtime_error("the certificate maker failed:" + command);
    }
}

}  // namespace

TestCertificateAuthority::TestCertificateAuthority(const std::string& name) {
    std::string pattern = (std::filesystem::temp_directory_path() / "nalpoi-tls-XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("no temporary directory");
    dir_ = pattern;
    RunMaker(dir_, {"ca", "ca", name});
    caFile_ = dir_ + "/ca.pem";
}

TestCertificateAuthority::~TestCertificateAuthority() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

CertificateFiles TestCertificateAuthority::Issue(const std::string& subjectAltName, int fromDays,
                                                 int toDays) {
    const std::string leaf = "leaf" + std::to_string(++issued_);
    RunMaker(dir_, {"leaf", leaf, "ca", subjectAltName, std::to_string(fromDays), std::to_string(toDays)});
    return {dir_ + "/" + leaf + ".chain", dir_ + "/leaf.key"};
}

}  // namespace testsupport
