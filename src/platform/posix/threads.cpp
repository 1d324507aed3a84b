// CreateThread / WaitForSingleObject / CloseHandle on POSIX threads. The
// thread reports its end through a condition variable, so a wait blocks (no
// polling) and measures its limit on the steady clock.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/posix/handle_table.h"
#include "platform/win32_api.h"

namespace nalpoicomm {
namespace {

// The stack of a thread made without a size. glibc's default (8 MiB here)
// is handed back to the kernel when each thread ends, a part of a short
// thread's cost that grows with the stack; Windows' own default is 1 MiB.
// The exchange worker needs far less: its deepest path, parsing the service
// file (nesting held to 100 levels) and driving libcurl, stays well inside.
constexpr SIZE_T kDefaultStackSize = 256 * 1024;

struct ThreadObject {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    DWORD exitCode = 0;
    pthread_t thread{};
};

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
    std::shared_ptr<ThreadObject> object;
};

HandleTable<ThreadObject>& Threads() {
    static HandleTable<ThreadObject> table(0x1000);
    return table;
}

void* RunThread(void* raw) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(raw));
    const DWORD code = start->routine(start->parameter);
    {
        std::lock_guard<std::mutex> lock(start->object->mutex);
        start->object->exitCode = code;
        start->object->done = true;
    }
    start->object->ended.notify_all();
    return nullptr;
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
    // Everything that can fail is done before the thread starts: once it
    // runs, its handle must reach the caller, who waits for it.
    std::shared_ptr<ThreadObject> object;
    std::unique_ptr<ThreadStart> start;
    HANDLE handle = nullptr;
    try {
        object = std::make_shared<ThreadObject>();
        start.reset(new ThreadStart{startAddress, parameter, object});
        handle = Threads().Add(object);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }

    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        pthread_attr_setstacksize(&attr, stackSize != 0 ? stackSize : nalpoicomm::kDefaultStackSize);
        rc = pthread_create(&object->thread, &attr, nalpoicomm::RunThread, start.get());
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
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
    std::unique_lock<std::mutex> lock(object->mutex);
    if (milliseconds == INFINITE) {
        object->ended.wait(lock, [&] { return object->done; });
        return WAIT_OBJECT_0;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    return object->ended.wait_until(lock, deadline, [&] { return object->done; }) ? WAIT_OBJECT_0
                                                                                 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<ThreadObject> object = Threads().Remove(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool done;
    {
        std::lock_guard<std::mutex> lock(object->mutex);
        done = object->done;
    }
    // A finished thread is joined so that it is fully gone when the handle
    // is; a running one goes on by itself, as on Windows.
    if (done) {
        pthread_join(object->thread, nullptr);
    } else {
        pthread_detach(object->thread);
    }
    return TRUE;
}
