// GetModuleFileNameW for the process executable, from /proc/self/exe.
#include <unistd.h>

#include <climits>
#include <cstring>

#include "platform/win32_api.h"

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    if (module != nullptr || fileName == nullptr || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char path[PATH_MAX + 1];
    const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
    if (length <= 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    path[length] = 0;

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
