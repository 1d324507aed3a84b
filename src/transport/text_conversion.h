// Conversions between the platform's wide text (UTF-16) and the library's
// 8-bit text in the system's ANSI code page.
#ifndef NALPOICOMM_TRANSPORT_TEXT_CONVERSION_H
#define NALPOICOMM_TRANSPORT_TEXT_CONVERSION_H

#include <cstddef>

#include "platform/win32_api.h"

namespace nalpoicomm {

// Converts zero-terminated wide text into `destination`. Returns the bytes
// written, terminator included; 0 for a null source, a failed conversion, or
// a result that does not fit `capacity` (then destination holds empty text).
int WideToAnsi(const WCHAR* source, char* destination, std::size_t capacity);

// Converts zero-terminated 8-bit text into a new malloc'd wide block stored
// in `*block` (release with free). Returns the wide characters written,
// terminator included; 0 for a null source or a failure, and then `*block`
// is left unchanged.
int AnsiToWide(const char* source, WCHAR** block);

}  // namespace nalpoicomm

#endif
