// nalpoi doctor: one update exchange, the library's own (its sequence,
// worker and parser, for the install tree the tool is installed in),
// observed step by step. Each step is judged by the library's own test of
// it, so the step named as failed is the one where the library's call
// failed, and a call that gives 1 fails none; what the doctor sees beyond
// the library's verdict (bytes its decoder passed over, an HTTP status) is
// a note. The report ends with the call's result, which the host gets.
#ifndef NALPOI_DOCTOR_H
#define NALPOI_DOCTOR_H

#include <string>
#include <vector>

namespace nalpoicomm {

struct DoctorStep {
    std::string name;    // config, url, connect, tls, send, length, body, decode, document
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
