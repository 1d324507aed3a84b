// Runs the exchange worker once on a thread of its own, as the exported
// operations do, and reports what it left in the exchange state.
#ifndef NALPOICOMM_TESTS_SUPPORT_WORKER_RUN_H
#define NALPOICOMM_TESTS_SUPPORT_WORKER_RUN_H

#include <optional>
#include <string>

namespace testsupport {

struct WorkerRun {
    bool ended = false;                    // within the wait limit
    int outcome = -1;                      // ExchangeOutcome
    bool replyBufferLeft = false;          // ReplyBuffer still allocated
    std::optional<std::string> replyText;  // ReplyText, when set
};

// `requestText` becomes RequestText; a session is opened unless
// `withSession` is false. Everything is released before returning.
WorkerRun RunWorkerOnce(const std::string& requestText = "UkVR", bool withSession = true,
                        unsigned waitLimitMs = 10000);

}  // namespace testsupport

#endif
