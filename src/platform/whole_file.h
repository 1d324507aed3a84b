// A small file read or written whole, on both platforms: an interrupted
// call is retried, so a signal never costs a valid file, and a file written
// is whole or empty, never a mixture of old and new bytes.
#ifndef NALPOICOMM_PLATFORM_WHOLE_FILE_H
#define NALPOICOMM_PLATFORM_WHOLE_FILE_H

#include <cstddef>
#include <cstdio>
#include <string>

namespace nalpoicomm {

// The whole of `path` in `text`. False when it cannot be opened or read, or
// holds more than `maxBytes` (then `text` holds more than `maxBytes` bytes,
// to say why).
bool ReadWholeFile(const char* path, std::size_t maxBytes, std::string& text);

// Writes what `print(stream, context)` prints on a text stream into `path`,
// over its old contents in place (a file system that guards replace-by-
// truncate would otherwise force its blocks out at the close), then cuts it
// to the length written. When any of that fails, the file is left empty;
// when `print` throws, too, and the exception goes on. False on failure.
bool WritePrintedFile(const char* path, void (*print)(std::FILE* stream, const void* context),
                      const void* context);

// Writes `text` into `path` as a text stream would (on Windows its text
// mode makes the line ends), in place and cut to length like the above:
// whole, or empty on failure. A null `text` empties the file.
// False on failure.
bool WriteTextFile(const char* path, const char* text, std::size_t length);

}  // namespace nalpoicomm

#endif
