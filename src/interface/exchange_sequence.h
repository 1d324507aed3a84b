// The exchange that both exported operations run, written once with its
// three variable parts: the request builder, the time limit and the reply
// step.
#ifndef NALPOICOMM_INTERFACE_EXCHANGE_SEQUENCE_H
#define NALPOICOMM_INTERFACE_EXCHANGE_SEQUENCE_H

#include "NalPoiComm.h"

#include "interface/function_ref.h"
#include "platform/win32_api.h"
#include "transport/exchange_observer.h"

namespace nalpoicomm {

constexpr int kResultExchangeFailed = NALPOI_RESULT_EXCHANGE_FAILED;
constexpr int kResultNoReply = NALPOI_RESULT_NO_REPLY;
constexpr int kResultNoContentRecord = NALPOI_RESULT_NO_CONTENT_RECORD;
constexpr int kResultTimedOut = NALPOI_RESULT_TIMED_OUT;

constexpr DWORD kUpdateTimeLimitMs = 20000;
constexpr DWORD kBatchTimeLimitMs = 60000;

// Builds the encoded request (a Base64Encode block), runs the worker under
// `timeLimitMs`, and on a reply returns `replyStep(replyText)`; otherwise -2,
// -3 or -9. Calls are serialised by one process-wide lock held throughout.
// Never throws: an exception inside ends the call with -2, buffers released
// and the worker ended. A reply step that throws must first have put the
// caller's records back as they were (the -2 contract). An `observer` is
// told each step of the worker's exchange.
int RunExchangeSequence(FunctionRef<char*()> buildRequest, DWORD timeLimitMs,
                        FunctionRef<int(const char* replyText)> replyStep,
                        ExchangeObserver* observer = nullptr);

}  // namespace nalpoicomm

#endif
