// Base64 transfer encoding of request and reply bodies: RFC 4648 alphabet,
// encoder output in lines of 60 characters separated by CR LF, and a lenient
// decoder that skips bytes outside the alphabet and never fails.
#ifndef NALPOICOMM_ENCODING_BASE64_H
#define NALPOICOMM_ENCODING_BASE64_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace nalpoicomm {

// Characters Base64Encode writes for `n` input bytes, line separators
// included, terminator excluded. 0 for 0 bytes.
std::uint32_t Base64EncodedLength(std::uint32_t n);

// A new[] block of Base64EncodedLength(length) characters plus a zero byte;
// release it with delete[]. Zero input bytes give a block holding only the
// terminator.
char* Base64Encode(const unsigned char* data, std::uint32_t length);

// Decoded bytes (they may include zero bytes).
std::string Base64Decode(const std::string& encoded);

// The same bytes written to `out`, which must hold `length` bytes (never
// fewer suffice); gives how many were written.
std::size_t Base64DecodeInto(const char* encoded, std::size_t length, char* out);

}  // namespace nalpoicomm

#endif
