#include "fault_plan.h"

namespace nalpoicomm {
namespace service {
namespace {

struct NamedFault {
    const char* name;
    Fault fault;
};

constexpr NamedFault kFaults[] = {
    {"no-length", Fault::kNoLength}, {"zero-length", Fault::kZeroLength},
    {"oversize", Fault::kOversize},  {"short", Fault::kShort},
    {"drop", Fault::kDrop},          {"reset", Fault::kReset},
    {"hang", Fault::kHang},          {"garbage", Fault::kGarbage},
    {"no-element", Fault::kNoElement}, {"status0", Fault::kStatus0},
    {"status2", Fault::kStatus2},    {"http500", Fault::kHttp500},
    {"idle-close", Fault::kIdleClose},
};

}  // namespace

bool FaultFromName(const std::string& name, Fault& fault) {
    for (const NamedFault& named : kFaults) {
        if (name == named.name) {
            fault = named.fault;
            return true;
        }
    }
    return false;
}

const char* FaultName(Fault fault) {
    for (const NamedFault& named : kFaults) {
        if (named.fault == fault) return named.name;
    }
    return "none";
}

std::string FaultNames() {
    std::string names;
    for (const NamedFault& named : kFaults) {
        if (!names.empty()) names += ", ";
        names += named.name;
    }
    return names;
}

}  // namespace service
}  // namespace nalpoicomm
