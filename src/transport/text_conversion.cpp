#include "transport/text_conversion.h"

#include <cstdlib>
#include <cstring>

namespace nalpoicomm {

int WideToAnsi(const WCHAR* source, char* destination, std::size_t capacity) {
    if (capacity > 0) destination[0] = 0;
    if (source == nullptr) return 0;
    const int needed = WideCharToMultiByte(CP_ACP, 0, source, -1, nullptr, 0, nullptr, nullptr);
    // The destination is bounded by its real capacity, not by what the text
    // would need: a path that does not fit is a failure, never an overrun.
    if (needed <= 0 || static_cast<std::size_t>(needed) > capacity) return 0;
    const int written =
        WideCharToMultiByte(CP_ACP, 0, source, -1, destination, needed, nullptr, nullptr);
    if (written <= 0) {
        destination[0] = 0;
        return 0;
    }
    return written;
}

int AnsiToWide(const char* source, WCHAR** block) {
    if (source == nullptr) return 0;
    const int needed = MultiByteToWideChar(CP_ACP, 0, source, -1, nullptr, 0);
    if (needed <= 0) return 0;
    const std::size_t bytes = static_cast<std::size_t>(needed) * sizeof(WCHAR);
    auto* wide = static_cast<WCHAR*>(std::malloc(bytes));
    if (wide == nullptr) return 0;
    std::memset(wide, 0, bytes);
    const int written = MultiByteToWideChar(CP_ACP, 0, source, -1, wide, needed);
    if (written <= 0) {
        std::free(wide);
        return 0;
    }
    *block = wide;
    return written;
}

}  // namespace nalpoicomm
