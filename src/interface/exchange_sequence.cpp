#include "interface/exchange_sequence.h"

#include <mutex>

#include "interface/exchange_state.h"
#include "transport/exchange_worker.h"

namespace nalpoicomm {
namespace {

constexpr WCHAR kUserAgent[] = PLATFORM_WIDE("RuzOruz");

// The single ExchangeState serves one exchange at a time.
std::mutex& ExchangeLock() {
    static std::mutex lock;
    return lock;
}

// Allocation-free and non-throwing: on the time-out path nothing may stand
// between the close and the wait for the worker.
void CloseSession() noexcept {
    if (ExchangeState.SessionHandle != nullptr) InternetCloseHandle(ExchangeState.SessionHandle);
}

// Starts the worker and waits for it; from here on the worker has ended.
int AwaitWorker(DWORD timeLimitMs, FunctionRef<int(const char*)> replyStep) {
    ExchangeSlots* slots = &ExchangeState;
    HANDLE worker = CreateThread(nullptr, 0, ExchangeWorker, slots, 0, nullptr);
    if (worker == nullptr) {
        // Nothing ran, so nothing was exchanged: a stale outcome of an
        // earlier call must not be reported as a missing reply.
        CloseSession();
        return kResultExchangeFailed;
    }
    const DWORD waited = WaitForSingleObject(worker, timeLimitMs);
    if (waited != WAIT_OBJECT_0) {
        // Time-out, or a failed wait: closing the session aborts the worker's
        // transfer, and the worker must be gone before any slot is touched.
        CloseSession();
        WaitForSingleObject(worker, INFINITE);
        CloseHandle(worker);
        return waited == WAIT_TIMEOUT ? kResultTimedOut : kResultExchangeFailed;
    }
    CloseHandle(worker);
    if (ExchangeState.ExchangeOutcome <= 0) {
        CloseSession();
        return kResultExchangeFailed;
    }
    CloseSession();
    ExchangeState.SessionHandle = nullptr;
    if (ExchangeState.ReplyText == nullptr) return kResultNoReply;
    return replyStep(ExchangeState.ReplyText);
}

}  // namespace

int RunExchangeSequence(FunctionRef<char*()> buildRequest, DWORD timeLimitMs,
                        FunctionRef<int(const char* replyText)> replyStep,
                        ExchangeObserver* observer) {
    int result = kResultExchangeFailed;
    try {
        std::lock_guard<std::mutex> serialised(ExchangeLock());
        try {
            ExchangeState.RequestText = nullptr;
            ExchangeState.ReplyBuffer = nullptr;
            ExchangeState.ReplyText = nullptr;
            ExchangeState.Observer = observer;
            ExchangeState.RequestText = buildRequest();
            ExchangeState.SessionHandle =
                InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
            result = AwaitWorker(timeLimitMs, replyStep);
        } catch (...) {
            // Only the request builder and the reply step can throw, and the
            // worker is not running then: CreateThread and the session calls
            // report failures by their results, never by exceptions.
            result = kResultExchangeFailed;
        }
        ReleaseExchangeBuffers();
        ExchangeState.Observer = nullptr;
    } catch (...) {
        result = kResultExchangeFailed;  // the lock itself could not be taken
    }
    return result;
}

}  // namespace nalpoicomm
