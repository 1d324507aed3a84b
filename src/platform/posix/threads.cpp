// CreateThread / WaitForSingleObject / CloseHandle on POSIX threads. A wait
// is a join with a limit on the monotonic clock: the kernel wakes the waiter
// once, when the thread has ended, so a wait blocks (no polling) and a thread
// that has been waited for is gone, stack and all.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/posix/handle_table.h"
#include "platform/posix/thread_stacks.h"
#include "platform/win32_api.h"

namespace nalpoicomm {
namespace {

// The stack of a thread made without a size. The exchange worker needs far
// less than glibc's default (8 MiB here; Windows' own is 1 MiB): its deepest
// path, parsing the service file (nesting held to 100 levels) and driving
// libcurl, stays well inside.
constexpr SIZE_T kDefaultStackSize = 256 * 1024;

// A sanitizer keeps large per-thread state in the static TLS that glibc
// carves out of a given stack (ThreadSanitizer: about 900 KiB); it enlarges
// the stacks glibc maps, but not the ones handed to it.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr SIZE_T kSanitizerReserve = 2 * 1024 * 1024;
#else
constexpr SIZE_T kSanitizerReserve = 0;
#endif

struct ThreadObject {
    pthread_t thread{};
    ThreadStack stack;
    std::mutex mutex;
    std::condition_variable joinEnded;  // for waiters while another thread joins
    bool joining = false;
    bool joined = false;
    bool closed = false;    // the handle is gone: a failed join leaves it to the reaper
    bool orphaned = false;  // on the orphan list
    std::shared_ptr<ThreadObject> nextOrphan;
};

// Threads whose handle was closed before anyone joined them: kept joinable
// so that their stacks come back once they have ended; reaped on later calls.
std::mutex& OrphanLock() {
    static std::mutex lock;
    return lock;
}

std::shared_ptr<ThreadObject>& Orphans() {
    static std::shared_ptr<ThreadObject> head;
    return head;
}

// Puts the object on the orphan list unless it is there already. Called
// without the object's lock (the list's lock comes first).
void AddOrphan(std::shared_ptr<ThreadObject> object) {
    {
        std::lock_guard<std::mutex> lock(object->mutex);
        if (object->orphaned || object->joined) return;
        object->orphaned = true;
    }
    std::lock_guard<std::mutex> lock(OrphanLock());
    object->nextOrphan = std::move(Orphans());
    Orphans() = std::move(object);
}

// Joins every orphan that has ended and that nobody is joining.
void ReapOrphans() {
    std::lock_guard<std::mutex> listLock(OrphanLock());
    std::shared_ptr<ThreadObject>* link = &Orphans();
    while (*link) {
        ThreadObject& orphan = **link;
        std::unique_lock<std::mutex> lock(orphan.mutex);
        if (!orphan.joined && !orphan.joining && pthread_tryjoin_np(orphan.thread, nullptr) == 0) {
            orphan.joined = true;
            ReturnThreadStack(orphan.stack);
        }
        if (orphan.joined) {
            lock.unlock();
            *link = std::move(orphan.nextOrphan);
        } else {
            link = &orphan.nextOrphan;
        }
    }
}

HandleTable<ThreadObject>& Threads() {
    static HandleTable<ThreadObject> table(0x1000);
    return table;
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

void* RunThread(void* raw) {
    const ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.routine(start.parameter);
    return nullptr;
}

// The time `after` from now on `clock`, as the join calls take it.
timespec TimeFromNow(clockid_t clock, std::chrono::nanoseconds after) {
    timespec now{};
    clock_gettime(clock, &now);
    const std::chrono::nanoseconds at =
        std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec) + after;
    timespec result{};
    result.tv_sec = static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(at).count());
    result.tv_nsec = static_cast<long>((at - std::chrono::seconds(result.tv_sec)).count());
    return result;
}

timespec MonotonicDeadline(DWORD milliseconds) {
    return TimeFromNow(CLOCK_MONOTONIC, std::chrono::milliseconds(milliseconds));
}

// What is left of a monotonic deadline; zero or less once it has passed.
std::chrono::nanoseconds Left(const timespec& deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::chrono::seconds(deadline.tv_sec - now.tv_sec) +
           std::chrono::nanoseconds(deadline.tv_nsec - now.tv_nsec);
}

int JoinUntil(pthread_t thread, const timespec& deadline) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer knows the realtime join only; the limit then follows
    // the wall clock, which is good enough for a test build.
    const timespec realtime = TimeFromNow(CLOCK_REALTIME, Left(deadline));
    return pthread_timedjoin_np(thread, nullptr, &realtime);
#else
    return pthread_clockjoin_np(thread, nullptr, CLOCK_MONOTONIC, &deadline);
#endif
}

// Joins the thread, or waits for the thread that is joining it, until the
// deadline (null: no limit). Returns 0, ETIMEDOUT or another error.
int Join(const std::shared_ptr<ThreadObject>& object, const timespec* deadline) {
    std::unique_lock<std::mutex> lock(object->mutex);
    while (object->joining) {
        if (deadline == nullptr) {
            object->joinEnded.wait(lock);
        } else {
            // The other joiner has the same or an earlier deadline in the
            // exchange; a waiter here re-checks on its own clock.
            const std::chrono::nanoseconds left = Left(*deadline);
            if (left <= std::chrono::nanoseconds::zero()) return ETIMEDOUT;
            object->joinEnded.wait_for(lock, left);
        }
    }
    if (object->joined) return 0;
    object->joining = true;
    lock.unlock();
    const int rc = deadline == nullptr ? pthread_join(object->thread, nullptr)
                                       : JoinUntil(object->thread, *deadline);
    lock.lock();
    object->joining = false;
    if (rc == 0) {
        object->joined = true;
        ReturnThreadStack(object->stack);
    }
    const bool reapLater = rc != 0 && object->closed;
    lock.unlock();
    object->joinEnded.notify_all();
    if (reapLater) AddOrphan(object);  // its handle was closed during the wait
    return rc;
}

}  // namespace
}  // namespace nalpoicomm

using nalpoicomm::ThreadObject;
using nalpoicomm::ThreadStart;
using nalpoicomm::Threads;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId) {
    if (attributes != nullptr || startAddress == nullptr || creationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    nalpoicomm::ReapOrphans();
    // Everything that can fail is done before the thread starts: once it
    // runs, its handle must reach the caller, who waits for it.
    std::shared_ptr<ThreadObject> object;
    std::unique_ptr<ThreadStart> start;
    HANDLE handle = nullptr;
    try {
        object = std::make_shared<ThreadObject>();
        start.reset(new ThreadStart{startAddress, parameter});
        handle = Threads().Add(object);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }

    object->stack =
        nalpoicomm::TakeThreadStack((stackSize != 0 ? stackSize : nalpoicomm::kDefaultStackSize) +
                                    nalpoicomm::kSanitizerReserve);
    pthread_attr_t attr;
    int rc = object->stack.mapping != nullptr ? pthread_attr_init(&attr) : ENOMEM;
    if (rc == 0) {
        rc = pthread_attr_setstack(&attr, object->stack.Base(), object->stack.Size());
        if (rc == 0) rc = pthread_create(&object->thread, &attr, nalpoicomm::RunThread, start.get());
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        nalpoicomm::ReturnThreadStack(object->stack);
        Threads().Remove(handle);  // never seen by anyone
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    start.release();  // the thread owns it now
    if (threadId != nullptr) *threadId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(object.get()));
    return handle;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::shared_ptr<ThreadObject> object = Threads().Find(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    int rc;
    if (milliseconds == INFINITE) {
        rc = nalpoicomm::Join(object, nullptr);
    } else {
        const timespec deadline = nalpoicomm::MonotonicDeadline(milliseconds);
        rc = nalpoicomm::Join(object, &deadline);
    }
    if (rc == 0) return WAIT_OBJECT_0;
    if (rc == ETIMEDOUT) return WAIT_TIMEOUT;
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<ThreadObject> object = Threads().Remove(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A thread still running goes on by itself, as on Windows; it is reaped
    // (joined, its stack taken back) once it has ended.
    std::unique_lock<std::mutex> lock(object->mutex);
    object->closed = true;
    if (object->joined || object->joining) return TRUE;  // the joiner reaps it
    if (pthread_tryjoin_np(object->thread, nullptr) == 0) {
        object->joined = true;
        nalpoicomm::ReturnThreadStack(object->stack);
        return TRUE;
    }
    lock.unlock();
    nalpoicomm::AddOrphan(std::move(object));
    return TRUE;
}
