// GetModuleFileNameW for the process executable, from /proc/self/exe.
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/win32_api.h"

namespace {

// The executable's path, read from the link once per process: Windows gives
// the name the module was loaded from for the whole life of the process, and
// an exchange asks for it twice. A failed read is not kept; the next call
// tries again.
struct ExecutablePath {
    std::mutex mutex;
    std::atomic<bool> known{false};
    char text[PATH_MAX + 1] = {};
};

const char* ReadExecutablePath() {
    static ExecutablePath path;
    if (path.known.load(std::memory_order_acquire)) return path.text;
    std::lock_guard<std::mutex> lock(path.mutex);
    if (!path.known.load(std::memory_order_relaxed)) {
        const ssize_t length = readlink("/proc/self/exe", path.text, PATH_MAX);
        if (length <= 0) return nullptr;
        path.text[length] = 0;
        path.known.store(true, std::memory_order_release);
    }
    return path.text;
}

}  // namespace

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    if (module != nullptr || fileName == nullptr || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* path = ReadExecutablePath();
    if (path == nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }

    const int needed = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (needed <= 0) return 0;
    if (static_cast<DWORD>(needed) > size) {
        // As Windows: the name is cut to size - 1 characters and the full
        // buffer length is returned with ERROR_INSUFFICIENT_BUFFER.
        WCHAR whole[PATH_MAX + 1];
        MultiByteToWideChar(CP_ACP, 0, path, -1, whole, PATH_MAX + 1);
        std::memcpy(fileName, whole, (size - 1) * sizeof(WCHAR));
        fileName[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    MultiByteToWideChar(CP_ACP, 0, path, -1, fileName, static_cast<int>(size));
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(needed - 1);
}
