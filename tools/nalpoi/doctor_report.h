// How nalpoi doctor shows its findings: a line per step for a person, or
// one JSON object.
#ifndef NALPOI_DOCTOR_REPORT_H
#define NALPOI_DOCTOR_REPORT_H

#include <cstdio>
#include <string>

#include "doctor.h"

namespace nalpoicomm {

void PrintDoctorText(std::FILE* out, const DoctorReport& report, bool showReply);

// {"steps":[{"name","ok","detail"}...],"failed_step":NAME or null,
//  "notes":[...],"result":CODE,"meaning":TEXT,"works":BOOL[,"reply":TEXT or null]}
std::string DoctorJson(const DoctorReport& report, bool showReply);

}  // namespace nalpoicomm

#endif
