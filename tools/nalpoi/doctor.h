// nalpoi doctor: the steps of an update exchange run one by one, as the
// library runs them, for the install tree the tool is installed in; the
// first that fails is named, with what a person needs to fix it. Then the
// real library call, whose result the host would get.
#ifndef NALPOI_DOCTOR_H
#define NALPOI_DOCTOR_H

#include <string>
#include <vector>

namespace nalpoicomm {

struct DoctorStep {
    std::string name;    // config, url, connect, send, length, body, decode, document
    bool ok = true;
    std::string detail;
    std::string hint;    // what to do, when the step failed or warns
};

struct DoctorReport {
    std::vector<DoctorStep> steps;  // up to the first that failed
    std::string failedStep;         // empty when none failed
    std::vector<std::string> notes; // informative, not failures
    int result = 0;                 // the library's own call
    std::string reply;              // cc.xml after that call, as written
    bool replyWritten = false;
    bool works = false;             // no step failed and the call got a reply
};

// Never throws for what it finds; `id` is the POI ID the update asks for.
DoctorReport RunDoctor(const std::string& id);

}  // namespace nalpoicomm

#endif
