// What the library's result codes mean to someone running the tool.
#ifndef NALPOI_RESULT_MEANINGS_H
#define NALPOI_RESULT_MEANINGS_H

#include "NalPoiComm.h"

namespace nalpoicomm {

enum class Operation { Update, Batch };


// "update" or "batch": the operation's name in reports.
const char* OperationName(Operation operation);

// One line, never null; unknown codes get a text that says so.
const char* ResultMeaning(Operation operation, int result);

}  // namespace nalpoicomm

#endif
