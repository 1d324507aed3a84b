// The readable report of one exchange, for a person at a terminal.
#ifndef NALPOI_TEXT_REPORT_H
#define NALPOI_TEXT_REPORT_H

#include <cstdio>

#include "exchanges.h"

namespace nalpoicomm {

// The result code with its meaning, then, on result 1, every field received.
void PrintUpdateText(std::FILE* out, const UpdateOutcome& outcome);
void PrintBatchText(std::FILE* out, const BatchOutcome& outcome);

}  // namespace nalpoicomm

#endif
