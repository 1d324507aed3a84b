// Response header lines as the platform layer keeps them ("Name: value",
// without CR LF), and a header's value among them.
#ifndef NALPOICOMM_PLATFORM_POSIX_HEADER_LINES_H
#define NALPOICOMM_PLATFORM_POSIX_HEADER_LINES_H

#include <string>
#include <vector>

namespace nalpoicomm {

// The value of the first header `name` (case-insensitive) in `lines`, its
// leading blanks skipped, or null.
const char* FindHeader(const std::vector<std::string>& lines, const char* name);

}  // namespace nalpoicomm

#endif
