#include "platform/whole_file.h"

#include <cerrno>
#include <cstdlib>

#include "platform/c_file.h"

#ifdef _WIN32

namespace nalpoicomm {

bool ReadWholeFile(const char* path, std::size_t maxBytes, std::string& text) {
    text.clear();
    const UniqueFile file(std::fopen(path, "rb"));
    if (file == nullptr) return false;
    char piece[4096];
    std::size_t read;
    while ((read = std::fread(piece, 1, sizeof piece, file.get())) > 0) {
        text.append(piece, read);
        if (text.size() > maxBytes) return false;
    }
    return std::ferror(file.get()) == 0;
}

// Windows prints straight into the file: its text mode makes the line ends.
bool WritePrintedFile(const char* path, void (*print)(std::FILE*, const void*),
                      const void* context) {
    UniqueFile file(std::fopen(path, "r+"));
    if (file == nullptr) file.reset(std::fopen(path, "w"));
    if (file == nullptr) return false;
    try {
        print(file.get(), context);
    } catch (...) {
        SetFileLength(file.get(), 0);
        throw;
    }
    if (std::ferror(file.get()) == 0 && SetFileLength(file.get(), std::ftell(file.get()))) return true;
    std::clearerr(file.get());
    SetFileLength(file.get(), 0);
    return false;
}

namespace {

struct Text {
    const char* bytes;
    std::size_t length;
};

void PrintText(std::FILE* stream, const void* text) {
    const Text& t = *static_cast<const Text*>(text);
    if (t.bytes != nullptr) std::fwrite(t.bytes, 1, t.length, stream);
}

}  // namespace

bool WriteTextFile(const char* path, const char* text, std::size_t length) {
    const Text t{text, length};
    return WritePrintedFile(path, &PrintText, &t);
}

}  // namespace nalpoicomm

#else  // POSIX

#include <fcntl.h>
#include <unistd.h>

namespace nalpoicomm {
namespace {

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) close(fd);  // not retried: on Linux the descriptor is gone either way
    }
};

int OpenRetrying(const char* path, int flags) {
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool WriteAll(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t wrote = write(fd, bytes, length);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        bytes += wrote;
        length -= static_cast<std::size_t>(wrote);
    }
    return true;
}

bool CutTo(int fd, off_t length) {
    int cut;
    do {
        cut = ftruncate(fd, length);
    } while (cut != 0 && errno == EINTR);
    return cut == 0;
}

// Writes `bytes` over the file's old contents and cuts it to their length;
// cuts it to empty when that fails or there are no bytes (null).
bool ReplaceContents(int fd, const char* bytes, std::size_t length) {
    const bool whole = bytes != nullptr && WriteAll(fd, bytes, length) &&
                       CutTo(fd, static_cast<off_t>(length));
    if (!whole) CutTo(fd, 0);
    return whole;
}

struct FreeBlock {
    char* block = nullptr;
    ~FreeBlock() { std::free(block); }
};

}  // namespace

bool ReadWholeFile(const char* path, std::size_t maxBytes, std::string& text) {
    text.clear();
    const Descriptor file{OpenRetrying(path, O_RDONLY)};
    if (file.fd < 0) return false;
    char piece[4096];
    for (;;) {
        const ssize_t got = read(file.fd, piece, sizeof piece);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        text.append(piece, static_cast<std::size_t>(got));
        if (text.size() > maxBytes) return false;
    }
}

// Printed into memory first, so that the file is written by calls that say
// what they did (a stream would keep an interrupted write to itself), and
// nothing of the new text reaches the file unless all of it was printed.
bool WritePrintedFile(const char* path, void (*print)(std::FILE*, const void*),
                      const void* context) {
    const Descriptor file{OpenRetrying(path, O_WRONLY | O_CREAT)};
    if (file.fd < 0) return false;
    FreeBlock printed;
    std::size_t length = 0;
    std::FILE* memory = open_memstream(&printed.block, &length);
    bool whole = memory != nullptr;
    if (whole) {
        try {
            print(memory, context);
        } catch (...) {
            std::fclose(memory);
            CutTo(file.fd, 0);
            throw;
        }
        whole = std::ferror(memory) == 0;
        whole = std::fclose(memory) == 0 && whole;
    }
    return ReplaceContents(file.fd, whole ? printed.block : nullptr, length);
}

bool WriteTextFile(const char* path, const char* text, std::size_t length) {
    const Descriptor file{OpenRetrying(path, O_WRONLY | O_CREAT)};
    return file.fd >= 0 && ReplaceContents(file.fd, text, length);
}

}  // namespace nalpoicomm

#endif
