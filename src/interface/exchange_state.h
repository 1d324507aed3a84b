// The one process-wide record through which the calling thread and the
// exchange worker hand over request, reply and outcome (the worker is handed
// its slots as its thread's argument), and where a batch reply leaves its
// time stamp and counts for the next.
//
// Ordering: the caller writes SessionHandle and RequestText before it starts
// the worker and reads the rest only after the worker has ended; the only
// overlap is the session close on time-out. One exchange at a time (the
// exported operations hold a process-wide lock for that).
#ifndef NALPOICOMM_INTERFACE_EXCHANGE_STATE_H
#define NALPOICOMM_INTERFACE_EXCHANGE_STATE_H

#include <cstdint>

#include "reply/batch_reply_parser.h"
#include "transport/exchange_slots.h"

namespace nalpoicomm {

struct ExchangeStateRecord : ExchangeSlots {
    char BatchTime[kBatchTimeSize];
    std::int32_t HotelCounts[3];  // NumA, NumD, NumU

    BatchTotals Totals() { return {BatchTime, HotelCounts}; }
};

extern ExchangeStateRecord ExchangeState;

// Releases ReplyText, RequestText and ReplyBuffer, in that order, and empties
// them; leaves every other slot as it is. Safe to call on empty slots.
void ReleaseExchangeBuffers();

}  // namespace nalpoicomm

#endif
