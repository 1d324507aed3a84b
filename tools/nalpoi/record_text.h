// Moving text in and out of the library's fixed-width record fields. Every
// copy is bounded by the field, so a value that does not fit is cut, never
// overrun, and a field that lacks its terminator is read only to its end.
#ifndef NALPOI_RECORD_TEXT_H
#define NALPOI_RECORD_TEXT_H

#include <cstddef>
#include <cstring>
#include <string>

namespace nalpoicomm {

// Characters a field holds: its width less the terminating zero.
template <std::size_t N>
constexpr std::size_t FieldChars(const char (&)[N]) {
    return N - 1;
}

template <std::size_t N>
void CopyIntoField(char (&field)[N], const std::string& text) {
    const std::size_t length = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, N - length);
}

template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

}  // namespace nalpoicomm

#endif
