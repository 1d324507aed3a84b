#include "platform/wide_string.h"

namespace nalpoicomm {

std::size_t WideLength(const WCHAR* text) {
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

WCHAR* WideFindLast(WCHAR* text, WCHAR character) {
    WCHAR* found = nullptr;
    for (; *text != 0; ++text) {
        if (*text == character) found = text;
    }
    return found;
}

bool FormatWide(WCHAR* destination, std::size_t capacity, const WCHAR* format,
                const WCHAR* argument) {
    if (capacity == 0) return false;
    std::size_t used = 0;
    auto put = [&](WCHAR c) {
        if (used + 1 >= capacity) return false;  // keep room for the terminator
        destination[used++] = c;
        return true;
    };
    for (const WCHAR* f = format; *f != 0; ++f) {
        bool ok = true;
        if (f[0] == '%' && f[1] == 's') {
            for (const WCHAR* a = argument; ok && *a != 0; ++a) ok = put(*a);
            ++f;
        } else if (f[0] == '%' && f[1] == '%') {
            ok = put('%');
            ++f;
        } else {
            ok = put(*f);
        }
        if (!ok) {
            destination[0] = 0;
            return false;
        }
    }
    destination[used] = 0;
    return true;
}

}  // namespace nalpoicomm
