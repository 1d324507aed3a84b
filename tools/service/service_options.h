// The command line of nalpoi-service:
//   nalpoi-service [--host 127.0.0.1] [--port 8080] [--path /poi] [--db FILE]
//                  [--delay SECONDS] [--fault KIND [--fault-every N]]
//                  [--keep-alive SECONDS] [--tls-cert FILE --tls-key FILE]
#ifndef NALPOI_SERVICE_SERVICE_OPTIONS_H
#define NALPOI_SERVICE_SERVICE_OPTIONS_H

#include <string>

#include "fault_plan.h"

namespace nalpoicomm {
namespace service {

// A kept connection idle this long is closed: room for a host's next call in
// a burst, yet an idle client does not hold a connection thread for long.
constexpr int kDefaultKeepAliveSeconds = 5;

struct ServiceOptions {
    std::string host = "127.0.0.1";
    int port = 8080;              // 0 picks a free port
    std::string path = "/poi";    // the one path that takes requests
    std::string db = "nalpoi-service.db";
    FaultPlan faults;
    // 0: one request per connection, closed after its reply.
    double keep_alive_seconds = kDefaultKeepAliveSeconds;
    // Both set, or neither: HTTPS with this PEM chain (leaf first) and key.
    std::string tls_certificate;
    std::string tls_key;
};

enum class OptionsVerdict { kRun, kHelp, kInvalid };

// Reads argv with getopt_long. On kInvalid, `error` says why.
OptionsVerdict ParseServiceOptions(int argc, char** argv, ServiceOptions& options,
                                   std::string& error);

const char* ServiceUsage();

}  // namespace service
}  // namespace nalpoicomm

#endif
