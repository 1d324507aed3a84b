// The one process-wide record through which the calling thread and the
// exchange worker hand over request, reply and outcome. The worker's thread
// procedure takes no argument, so everything goes through here.
//
// Ordering: the caller writes SessionHandle and RequestText before it starts
// the worker and reads the rest only after the worker has ended; the only
// overlap is the session close on time-out. One exchange at a time (the
// exported operations hold a process-wide lock for that).
#ifndef NALPOICOMM_INTERFACE_EXCHANGE_STATE_H
#define NALPOICOMM_INTERFACE_EXCHANGE_STATE_H

#include <cstdint>

#include "platform/win32_api.h"

namespace nalpoicomm {

constexpr std::size_t kBatchTimeSize = 20;  // the width of __POIINFO2__.Time

struct ExchangeStateRecord {
    HINTERNET SessionHandle;
    char* RequestText;        // new[] block from Base64Encode
    char* ReplyBuffer;        // malloc'd raw reply store
    char* ReplyText;          // malloc'd decoded reply, zero-terminated
    std::int32_t ExchangeOutcome;
    char BatchTime[kBatchTimeSize];
    std::int32_t HotelCounts[3];  // NumA, NumD, NumU
};

extern ExchangeStateRecord ExchangeState;

// Releases ReplyText, RequestText and ReplyBuffer, in that order, and empties
// them; leaves every other slot as it is. Safe to call on empty slots.
void ReleaseExchangeBuffers();

}  // namespace nalpoicomm

#endif
