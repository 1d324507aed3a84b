#include "service_options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>

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

}  // namespace

const char* ServiceUsage() {
    return "usage: nalpoi-service [--host 127.0.0.1] [--port 8080] [--path /poi] [--db FILE]\n"
           "  --host ADDRESS  address to listen on (default 127.0.0.1)\n"
           "  --port N        port to listen on, 0 for a free one (default 8080)\n"
           "  --path PATH     the path that takes POI requests (default /poi)\n"
           "  --db FILE       SQLite database, created with sample data when missing or empty\n"
           "                  (default nalpoi-service.db in the current directory)\n";
}

OptionsVerdict ParseServiceOptions(int argc, char** argv, ServiceOptions& options,
                                   std::string& error) {
    static const option kLongOptions[] = {
        {"host", required_argument, nullptr, 'H'},
        {"port", required_argument, nullptr, 'p'},
        {"path", required_argument, nullptr, 'P'},
        {"db", required_argument, nullptr, 'd'},
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
    return OptionsVerdict::kRun;
}

}  // namespace service
}  // namespace nalpoicomm
