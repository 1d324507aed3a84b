// The reply of a SendUpdateRequest exchange, read into the caller's
// __POICONTENT__.
#ifndef NALPOICOMM_REPLY_UPDATE_REPLY_PARSER_H
#define NALPOICOMM_REPLY_UPDATE_REPLY_PARSER_H

#include "NalPoiComm.h"
#include "reply/reply_document.h"

namespace nalpoicomm {

constexpr int kUpdateReplyRead = 1;      // every child of the root was read
constexpr int kUpdateStatusZero = NALPOI_RESULT_UPDATE_STATUS_0;   // a Status "0" ended the parse
constexpr int kUpdateStatusTwo = NALPOI_RESULT_UPDATE_STATUS_2;    // a Status "2" ended the parse

// Zeroes all of `content` (Reserved included), then writes `replyText` to the
// reply cache file `cachePath` as TinyXML parses and prints it (ReplyDocument), and then
// reads the root's element children in document order: "Time", "Tel" and
// "Addr" text into the fields of that name, cut to the field; "Con" text into
// a malloc'd block in `Con` (a later one frees the earlier block first);
// "Pri" into the three slots; "Status" "0" or "2" stops the parse with 219
// or 620, keeping what came before it, any other status text (or none) lets
// it go on. Other names are passed
// over. Returns 1, 219, 620, or -1 when the document holds no element (the
// record then stays zero). A `Con` handed back belongs to the caller, on every
// result. `replyText` is only read. A failed allocation escapes as
// std::bad_alloc, for the exchange sequence to turn into -2; `Con` is then
// null (a block that cannot be made is the only failure after the parse),
// and the caller puts its record back.
int ParseUpdateReply(const char* replyText, const char* cachePath, __POICONTENT__& content);

}  // namespace nalpoicomm

#endif
