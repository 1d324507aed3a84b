#include "service_options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace nalpoicomm {
namespace service {
namespace {

constexpr long kMaxPort = 65535;

bool ParsePort(const char* text, int& port) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > kMaxPort) return false;
    port = static_cast<int>(value);
    return true;
}

bool ParseSeconds(const char* text, double& seconds) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= 0) || value > 3600) return false;
    seconds = value;
    return true;
}

bool ParseCount(const char* text, long& count) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1) return false;
    count = value;
    return true;
}

}  // namespace

const char* ServiceUsage() {
    static const std::string usage =
        "usage: nalpoi-service [--host 127.0.0.1] [--port 8080] [--path /poi] [--db FILE]\n"
        "                      [--delay SECONDS] [--fault KIND [--fault-every N]]\n"
        "                      [--keep-alive SECONDS] [--tls-cert FILE --tls-key FILE]\n"
        "  --host ADDRESS   address to listen on (default 127.0.0.1)\n"
        "  --port N         port to listen on, 0 for a free one (default 8080)\n"
        "  --path PATH      the path that takes POI requests (default /poi)\n"
        "  --db FILE        SQLite database, created with sample data when missing or empty\n"
        "                   (default nalpoi-service.db in the current directory)\n"
        "  --delay SECONDS  answer every request this late (up to 3600)\n"
        "  --fault KIND     misbehave on every reply on PATH: " + FaultNames() + "\n"
        "  --fault-every N  ... on every Nth reply only\n"
        "  --keep-alive SECONDS\n"
        "                   close a connection that waits this long for its next request\n"
        "                   (default " + std::to_string(kDefaultKeepAliveSeconds) +
        ", up to 3600); 0 closes every connection\n"
        "                   after its first reply, which says Connection: close\n"
        "  --tls-cert FILE  serve HTTPS with this PEM certificate chain, leaf first\n"
        "  --tls-key FILE   ... and this PEM private key (give both or neither)\n"
        "  A POST to PATH/KIND always gets that fault, whatever --fault says.\n";
    return usage.c_str();
}

OptionsVerdict ParseServiceOptions(int argc, char** argv, ServiceOptions& options,
                                   std::string& error) {
    static const option kLongOptions[] = {
        {"host", required_argument, nullptr, 'H'},
        {"port", required_argument, nullptr, 'p'},
        {"path", required_argument, nullptr, 'P'},
        {"db", required_argument, nullptr, 'd'},
        {"delay", required_argument, nullptr, 'D'},
        {"fault", required_argument, nullptr, 'f'},
        {"fault-every", required_argument, nullptr, 'e'},
        {"keep-alive", required_argument, nullptr, 'K'},
        {"tls-cert", required_argument, nullptr, 'c'},
        {"tls-key", required_argument, nullptr, 'k'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    optind = 1;
    int option_char;
    while ((option_char = getopt_long(argc, argv, "h", kLongOptions, nullptr)) != -1) {
        switch (option_char) {
            case 'H':
                options.host = optarg;
                break;
            case 'p':
                if (!ParsePort(optarg, options.port)) {
                    error = std::string("invalid port: ") + optarg;
                    return OptionsVerdict::kInvalid;
                }
                break;
            case 'P':
                options.path = optarg;
                if (options.path.empty() || options.path[0] != '/') {
                    error = "the path must start with /: " + options.path;
                    return OptionsVerdict::kInvalid;
                }
                break;
            case 'd':
                options.db = optarg;
                break;
            case 'D':
                if (!ParseSeconds(optarg, options.faults.delay_seconds)) {
                    error = std::string("invalid delay: ") + optarg;
                    return OptionsVerdict::kInvalid;
                }
                break;
            case 'f':
                if (!FaultFromName(optarg, options.faults.fault)) {
                    error = std::string("unknown fault: ") + optarg + " (one of " + FaultNames() + ")";
                    return OptionsVerdict::kInvalid;
                }
                break;
            case 'e':
                if (!ParseCount(optarg, options.faults.every)) {
                    error = std::string("invalid --fault-every: ") + optarg;
                    return OptionsVerdict::kInvalid;
                }
                break;
            case 'K':
                if (!ParseSeconds(optarg, options.keep_alive_seconds)) {
                    error = std::string("invalid --keep-alive: ") + optarg;
                    return OptionsVerdict::kInvalid;
                }
                break;
            case 'c':
                options.tls_certificate = optarg;
                break;
            case 'k':
                options.tls_key = optarg;
                break;
            case 'h':
                return OptionsVerdict::kHelp;
            default:
                error = std::string("unknown option or missing value: ") + argv[optind - 1];
                return OptionsVerdict::kInvalid;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument: ") + argv[optind];
        return OptionsVerdict::kInvalid;
    }
    if (options.host.empty() || options.db.empty()) {
        error = "--host and --db need a value";
        return OptionsVerdict::kInvalid;
    }
    if (options.tls_certificate.empty() != options.tls_key.empty()) {
        error = "--tls-cert and --tls-key go together, each with a file";
        return OptionsVerdict::kInvalid;
    }
    return OptionsVerdict::kRun;
}

}  // namespace service
}  // namespace nalpoicomm
