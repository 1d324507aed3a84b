// MultiByteToWideChar / WideCharToMultiByte for CP_ACP, which is UTF-8 here.
// Ill-formed input is not refused: each maximal ill-formed subpart becomes
// U+FFFD, as Windows converts without MB_ERR_INVALID_CHARS.
#include <cstdint>
#include <cstring>

#include "platform/win32_api.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point from UTF-8 at s[0..n); sets `used` (at least 1).
char32_t DecodeUtf8(const unsigned char* s, std::size_t n, std::size_t& used) {
    const unsigned char b0 = s[0];
    used = 1;
    if (b0 < 0x80) return b0;
    std::size_t length;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return kReplacement;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (k >= n) return kReplacement;
        const unsigned char b = s[k];
        const unsigned char low = k == 1 ? lo : 0x80;
        const unsigned char high = k == 1 ? hi : 0xBF;
        if (b < low || b > high) return kReplacement;
        cp = (cp << 6) | (b & 0x3F);
        used = k + 1;
    }
    return cp;
}

std::size_t EncodeUtf8(char32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

bool ArgumentsUsable(UINT codePage, DWORD flags, const void* source, int sourceLength,
                     int destinationLength) {
    if (codePage != CP_ACP) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (flags != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return false;
    }
    if (source == nullptr || sourceLength == 0 || sourceLength < -1 || destinationLength < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceLength,
                        LPWSTR destination, int destinationLength) {
    if (!ArgumentsUsable(codePage, flags, source, sourceLength, destinationLength)) return 0;
    const auto* s = reinterpret_cast<const unsigned char*>(source);
    // -1: the text and its terminator.
    const std::size_t n = sourceLength == -1 ? std::strlen(source) + 1
                                             : static_cast<std::size_t>(sourceLength);
    std::size_t written = 0;
    for (std::size_t i = 0; i < n;) {
        std::size_t used;
        const char32_t cp = DecodeUtf8(s + i, n - i, used);
        i += used;
        const std::size_t units = cp >= 0x10000 ? 2 : 1;
        if (destinationLength != 0) {
            if (written + units > static_cast<std::size_t>(destinationLength)) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            if (units == 2) {
                destination[written] = static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10));
                destination[written + 1] = static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                destination[written] = static_cast<WCHAR>(cp);
            }
        }
        written += units;
    }
    return static_cast<int>(written);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceLength,
                        LPSTR destination, int destinationLength, LPCSTR defaultChar,
                        LPBOOL usedDefaultChar) {
    if (!ArgumentsUsable(codePage, flags, source, sourceLength, destinationLength)) return 0;
    if (defaultChar != nullptr || usedDefaultChar != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);  // not used with UTF-8, as on Windows
        return 0;
    }
    std::size_t n = 0;
    if (sourceLength == -1) {
        while (source[n] != 0) ++n;
        ++n;  // the terminator too
    } else {
        n = static_cast<std::size_t>(sourceLength);
    }
    std::size_t written = 0;
    for (std::size_t i = 0; i < n;) {
        char32_t cp = source[i++];
        if (cp >= 0xD800 && cp <= 0xDBFF && i < n && source[i] >= 0xDC00 && source[i] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (source[i++] - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;  // lone surrogate
        }
        char bytes[4];
        const std::size_t count = EncodeUtf8(cp, bytes);
        if (destinationLength != 0) {
            if (written + count > static_cast<std::size_t>(destinationLength)) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            std::memcpy(destination + written, bytes, count);
        }
        written += count;
    }
    return static_cast<int>(written);
}
