// Small wide-text helpers that both platforms share: WCHAR is wchar_t on
// Windows and char16_t elsewhere, so the C library's wcs* functions are not
// available everywhere.
#ifndef NALPOICOMM_PLATFORM_WIDE_STRING_H
#define NALPOICOMM_PLATFORM_WIDE_STRING_H

#include <cstddef>

#include "platform/win32_api.h"

namespace nalpoicomm {

std::size_t WideLength(const WCHAR* text);

// Last occurrence of `character` in `text`, or null (wcsrchr).
WCHAR* WideFindLast(WCHAR* text, WCHAR character);

// Writes `format` into `destination` with every "%s" replaced by `argument`
// ("%%" gives "%"). Bounded: returns false, leaving empty text, when the
// result and its terminator do not fit `capacity` characters.
bool FormatWide(WCHAR* destination, std::size_t capacity, const WCHAR* format,
                const WCHAR* argument);

}  // namespace nalpoicomm

#endif
