// The --json report of one exchange: one JSON object on one line (shape in
// json_report.cpp and README.md).
#ifndef NALPOI_JSON_REPORT_H
#define NALPOI_JSON_REPORT_H

#include <string>

#include "exchanges.h"

namespace nalpoicomm {

std::string UpdateJson(const UpdateOutcome& outcome);
std::string BatchJson(const BatchOutcome& outcome);

}  // namespace nalpoicomm

#endif
