// What the calling thread and the exchange worker hand over: the request,
// the reply and the outcome. The caller writes SessionHandle and
// RequestText before it starts the worker and reads the rest only after the
// worker has ended; the only overlap is the session close on time-out.
#ifndef NALPOICOMM_TRANSPORT_EXCHANGE_SLOTS_H
#define NALPOICOMM_TRANSPORT_EXCHANGE_SLOTS_H

#include <cstdint>

#include "platform/win32_api.h"

namespace nalpoicomm {

class ExchangeObserver;

struct ExchangeSlots {
    HINTERNET SessionHandle;
    char* RequestText;        // new[] block from Base64Encode
    char* ReplyBuffer;        // malloc'd raw reply store
    char* ReplyText;          // malloc'd decoded reply, zero-terminated
    std::int32_t ExchangeOutcome;
    ExchangeObserver* Observer;  // told each step of the exchange; null but for the doctor
};

}  // namespace nalpoicomm

#endif
