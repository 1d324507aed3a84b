// The reply of a RevBatch exchange: its status decides whether it is taken;
// a taken reply leaves its time stamp and counts in the exchange state and
// appends its items to the caller's three lists.
#ifndef NALPOICOMM_REPLY_BATCH_REPLY_PARSER_H
#define NALPOICOMM_REPLY_BATCH_REPLY_PARSER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "NalPoiComm.h"
#include "reply/reply_document.h"

namespace nalpoicomm {

constexpr int kBatchReplyTaken = NALPOI_RESULT_OK;    // the reply was taken
constexpr int kBatchStatusZero = NALPOI_RESULT_BATCH_STATUS_0;  // the reply's status is "0"

// Writes `replyText` to the reply cache file `cachePath` as TinyXML parses and prints it
// (ReplyDocument). Then a status pass over the root's element children: the
// first "Status" whose text is "1" or "0" settles it; "0" returns 218,
// anything else (no Status, no text, other texts) takes the reply. A content
// pass over the same children then writes, in document order:
//  - "Time" with text: totals.time, cut to 19 characters;
//  - "NumA", "NumD", "NumU": the count attribute "Add", "Del" or "Upd" (read
//    as atoi reads it, 0 when absent, held to 32 bits) into
//    totals.counts[0], [1] or [2], then that many of the
//    section's element children, whatever their names, read by ReadAddItem,
//    ReadDelItem or ReadUpdItem into a zero-filled record appended at the end
//    of `added`, `deleted` or `updated`; a section with fewer items than its
//    count ends at its last item.
// Returns 1, 218, or -1 when the document holds no element; on 218 and -1
// neither the lists nor the totals change. Lists are never cleared;
// an appended record is a bytewise copy whose `Con` then belongs to the
// caller. Slots not written keep what an earlier reply left. A failed
// allocation (the reply copy, a scratch record, a `Con` text, a list's
// storage) escapes as std::bad_alloc, for the exchange sequence to turn into
// -2, after everything is put back: the lists cut to their entry lengths
// (the `Con` texts of the records this call appended freed), BatchTime and
// HotelCounts as they were.
// What a taken batch reply leaves for RevBatch to copy out, and for the next
// batch: the time stamp and the three counts, as the last reply that had
// them gave them.
constexpr std::size_t kBatchTimeSize = 20;  // the width of __POIINFO2__.Time
struct BatchTotals {
    char (&time)[kBatchTimeSize];
    std::int32_t (&counts)[3];  // NumA, NumD, NumU
};

int ParseBatchReply(const char* replyText, const char* cachePath, std::vector<__ADDHOTEL__>& added,
                    std::vector<__DELHOTEL__>& deleted, std::vector<__UPDHOTEL__>& updated,
                    BatchTotals totals);

}  // namespace nalpoicomm

#endif
