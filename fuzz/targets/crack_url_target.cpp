#include <memory>
#include <vector>

#include "platform/win32_api.h"
#include "targets/fuzz_targets.h"

namespace nalpoifuzz {
namespace {

constexpr std::size_t kComponentCount = 6;  // scheme, host, user, password, path, extra
// Buffer sizes by a component's two choice bits; 0 means not asked for.
// From one character (too small for any component but an empty one) to MAX_PATH.
constexpr DWORD kSizeSteps[4] = {0, 1, 40, 260};

// One component buffer of an exact size on the heap, so that a write past it
// is an overflow the address sanitizer sees.
struct ComponentBuffer {
    bool requested = false;
    DWORD capacity = 0;
    std::unique_ptr<WCHAR[]> text;
};

}  // namespace

bool FuzzCrackUrl(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return true;
    const unsigned choice = data[0] | (data[1] << 8);
    data += 2;
    size -= 2;

    // The URL's code units, zero-terminated as the callers pass it.
    std::vector<WCHAR> url(size / 2 + 1, 0);
    for (std::size_t i = 0; i < size / 2; ++i) {
        url[i] = static_cast<WCHAR>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    const DWORD urlLength = (choice & 0x8000) ? static_cast<DWORD>((choice >> 12) & 0x7) : 0;

    ComponentBuffer buffers[kComponentCount];
    for (std::size_t i = 0; i < kComponentCount; ++i) {
        const unsigned bits = (choice >> (2 * i)) & 0x3;
        buffers[i].requested = bits != 0;
        if (buffers[i].requested) {
            buffers[i].capacity = kSizeSteps[bits];
            buffers[i].text.reset(new WCHAR[buffers[i].capacity]);
        }
    }
    URL_COMPONENTSW components{};
    components.dwStructSize = sizeof components;
    LPWSTR* pointers[kComponentCount] = {&components.lpszScheme,   &components.lpszHostName,
                                         &components.lpszUserName, &components.lpszPassword,
                                         &components.lpszUrlPath,  &components.lpszExtraInfo};
    DWORD* lengths[kComponentCount] = {&components.dwSchemeLength,   &components.dwHostNameLength,
                                       &components.dwUserNameLength, &components.dwPasswordLength,
                                       &components.dwUrlPathLength,  &components.dwExtraInfoLength};
    for (std::size_t i = 0; i < kComponentCount; ++i) {
        *pointers[i] = buffers[i].text.get();
        *lengths[i] = buffers[i].capacity;
    }

    if (!InternetCrackUrlW(url.data(), urlLength, 0, &components)) return true;

    // Success: each component asked for is a terminated text inside its buffer.
    for (std::size_t i = 0; i < kComponentCount; ++i) {
        if (!buffers[i].requested) continue;
        if (*lengths[i] >= buffers[i].capacity) return false;
        if (buffers[i].text[*lengths[i]] != 0) return false;
    }
    return true;
}

}  // namespace nalpoifuzz
