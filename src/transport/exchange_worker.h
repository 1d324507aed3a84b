// The HTTP exchange, run on a thread of its own: POST the encoded request in
// the slots' RequestText to the configured service and leave the decoded
// reply in ReplyText with ExchangeOutcome set to 1 (success) or 0. It never
// parses the reply.
#ifndef NALPOICOMM_TRANSPORT_EXCHANGE_WORKER_H
#define NALPOICOMM_TRANSPORT_EXCHANGE_WORKER_H

#include <cstddef>

#include "platform/win32_api.h"

namespace nalpoicomm {

constexpr std::size_t kReplyStoreSize = 30720;  // raw reply of at most 30719 bytes + terminator
constexpr std::size_t kReadChunkSize = 4096;    // bytes asked of each read

// The worker's two tests of a reply, the one home of each (the host tool's
// doctor judges by them too): a Content-Length it reads a body for (1 to
// 30719), and a decoded reply text, up to its first zero byte, that it hands
// on (2 characters at least).
bool ContentLengthTaken(DWORD length);
bool ReplyTextTaken(std::size_t textLength);

// Thread procedure; its argument is the ExchangeSlots of the exchange.
// Returns 1 on success and 0xFFFFFFFF otherwise (nobody reads it: the
// outcome is in the slots).
DWORD WINAPI ExchangeWorker(LPVOID slots);

}  // namespace nalpoicomm

#endif
