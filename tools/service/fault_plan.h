// Faults the service can play on purpose, so that a host developer can
// rehearse the library's failure results against a running service:
// --fault KIND on the service path (every reply, or every Nth with
// --fault-every N), any kind on its own path <path>/<kind>, and --delay
// before every reply.
#ifndef NALPOI_SERVICE_FAULT_PLAN_H
#define NALPOI_SERVICE_FAULT_PLAN_H

#include <string>

namespace nalpoicomm {
namespace service {

enum class Fault {
    kNone,
    kNoLength,    // chunked, no Content-Length
    kZeroLength,  // Content-Length 0, no body
    kOversize,    // Content-Length 30720 and a body to match
    kShort,       // half the body, then close
    kDrop,        // close without a reply
    kReset,       // TCP reset
    kHang,        // never answer
    kGarbage,     // a body that is not base64
    kNoElement,   // base64 of text without an element
    kStatus0,     // the reply's Status is 0
    kStatus2,     // the reply's Status is 2
    kHttp500,     // status 500 with the good body
    kIdleClose,   // a good reply as on a kept connection, then close at once
};

// The kind named `name` ("no-length", ...); false for any other name.
bool FaultFromName(const std::string& name, Fault& fault);
const char* FaultName(Fault fault);

// Every kind's name, for the usage text: "no-length, zero-length, ...".
std::string FaultNames();

struct FaultPlan {
    Fault fault = Fault::kNone;  // on the service path
    long every = 1;              // ... on every Nth request there
    double delay_seconds = 0;    // before every reply, on every path
};

}  // namespace service
}  // namespace nalpoicomm

#endif
