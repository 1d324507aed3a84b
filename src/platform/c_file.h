// C streams: owned, so that they are closed on every way out (a failed
// allocation included), and cut to a length, on both platforms.
#ifndef NALPOICOMM_PLATFORM_C_FILE_H
#define NALPOICOMM_PLATFORM_C_FILE_H

#include <cstdio>
#include <memory>

namespace nalpoicomm {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Flushes `file` and cuts it (or extends it with zeros) to `length` bytes.
bool SetFileLength(std::FILE* file, long length);

}  // namespace nalpoicomm

#endif
