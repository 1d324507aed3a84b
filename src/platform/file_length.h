// Setting the length of a file open as a C stream, on both platforms.
#ifndef NALPOICOMM_PLATFORM_FILE_LENGTH_H
#define NALPOICOMM_PLATFORM_FILE_LENGTH_H

#include <cstdio>

namespace nalpoicomm {

// Flushes `file` and cuts it (or extends it with zeros) to `length` bytes.
bool SetFileLength(std::FILE* file, long length);

}  // namespace nalpoicomm

#endif
