#include "support/worker_run.h"

#include <cstring>

#include "interface/exchange_state.h"
#include "transport/exchange_worker.h"

namespace testsupport {

using nalpoicomm::ExchangeState;

WorkerRun RunWorkerOnce(const std::string& requestText, bool withSession, unsigned waitLimitMs) {
    ExchangeState.RequestText = new char[requestText.size() + 1];
    std::memcpy(ExchangeState.RequestText, requestText.c_str(), requestText.size() + 1);
    ExchangeState.SessionHandle =
        withSession ? InternetOpenW(u"RuzOruz", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)
                    : nullptr;
    ExchangeState.ExchangeOutcome = -1;  // the worker must set it itself

    WorkerRun run;
    HANDLE thread = CreateThread(nullptr, 0, nalpoicomm::ExchangeWorker, &nalpoicomm::ExchangeState, 0, nullptr);
    run.ended = WaitForSingleObject(thread, waitLimitMs) == WAIT_OBJECT_0;
    if (!run.ended) {
        if (ExchangeState.SessionHandle != nullptr) InternetCloseHandle(ExchangeState.SessionHandle);
        ExchangeState.SessionHandle = nullptr;
        WaitForSingleObject(thread, INFINITE);
    }
    CloseHandle(thread);
    run.outcome = ExchangeState.ExchangeOutcome;
    run.replyBufferLeft = ExchangeState.ReplyBuffer != nullptr;
    if (ExchangeState.ReplyText != nullptr) run.replyText = std::string(ExchangeState.ReplyText);
    if (ExchangeState.SessionHandle != nullptr) InternetCloseHandle(ExchangeState.SessionHandle);
    ExchangeState.SessionHandle = nullptr;
    nalpoicomm::ReleaseExchangeBuffers();
    return run;
}

}  // namespace testsupport
