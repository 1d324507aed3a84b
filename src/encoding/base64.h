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

// Whether the decoder takes `byte` as one of the alphabet's 64 characters.
// "=" is not one: in a group's third or fourth place it ends the text, and
// elsewhere it is passed over like any byte outside the alphabet.
bool IsBase64Character(char byte);

// Decoded bytes (they may include zero bytes).
std::string Base64Decode(const std::string& encoded);

// What the decoder left aside of its input, for a person diagnosing a reply
// (the host tool's doctor): the bytes it passed over as outside the
// alphabet, line breaks (CR, LF) not counted since the encoder writes them
// itself, and the alphabet characters after a "=" that ended the text.
struct Base64Leftovers {
    std::size_t passedOver = 0;   // bytes skipped, CR and LF not counted
    std::size_t firstPassed = 0;  // the first one's offset, when passedOver > 0
    std::size_t unread = 0;       // alphabet characters after the ending "="
    std::size_t endedAt = 0;      // that "="'s offset, when unread > 0
};

// The same bytes written to `out`, which must hold `length` bytes (never
// fewer suffice); gives how many were written. With `leftovers`, also says
// what it left aside.
std::size_t Base64DecodeInto(const char* encoded, std::size_t length, char* out,
                             Base64Leftovers* leftovers = nullptr);

}  // namespace nalpoicomm

#endif
