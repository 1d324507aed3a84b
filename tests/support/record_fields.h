// A record's fixed text field filled as a host fills it: the text cut to the
// field's width less one, every byte after it zero. Header-only, so that the
// Windows test programs and the differential host use it too.
#ifndef NALPOICOMM_TESTS_SUPPORT_RECORD_FIELDS_H
#define NALPOICOMM_TESTS_SUPPORT_RECORD_FIELDS_H

#include <cstddef>
#include <cstring>
#include <string>

namespace testsupport {

template <std::size_t N>
void Put(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size() < N - 1 ? text.size() : N - 1);
}

}  // namespace testsupport

#endif
