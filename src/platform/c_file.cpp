#include "platform/c_file.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace nalpoicomm {

bool SetFileLength(std::FILE* file, long length) {
    if (length < 0 || std::fflush(file) != 0) return false;
#ifdef _WIN32
    return _chsize_s(_fileno(file), length) == 0;
#else
    return ftruncate(fileno(file), static_cast<off_t>(length)) == 0;
#endif
}

}  // namespace nalpoicomm
