#include "encoding/base64.h"

#include <array>
#include <cstring>

namespace nalpoicomm {
namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr int kPadIndex = 64;
constexpr std::uint32_t kLineChars = 60;  // 15 groups of 4 characters
constexpr std::uint32_t kLineBytes = 45;  // input bytes that fill one line

// Entry per byte value: its index in the alphabet, -1 for every other byte
// ("=" included).
constexpr std::array<std::int32_t, 256> MakeDecodeTable() {
    std::array<std::int32_t, 256> table{};
    for (auto& entry : table) entry = -1;
    for (int i = 0; i < kPadIndex; ++i) {
        table[static_cast<unsigned char>(kBase64Alphabet[i])] = i;
    }
    return table;
}
constexpr std::array<std::int32_t, 256> kBase64DecodeTable = MakeDecodeTable();

void NotePassedOver(Base64Leftovers& leftovers, char byte, std::size_t at) {
    if (byte == '\r' || byte == '\n') return;
    if (leftovers.passedOver++ == 0) leftovers.firstPassed = at;
}

void NoteEnd(Base64Leftovers& leftovers, const char* encoded, std::size_t at, std::size_t n) {
    for (std::size_t i = at + 1; i < n; ++i) leftovers.unread += IsBase64Character(encoded[i]) ? 1 : 0;
    if (leftovers.unread > 0) leftovers.endedAt = at;
}

}  // namespace

bool IsBase64Character(char byte) {
    return kBase64DecodeTable[static_cast<unsigned char>(byte)] >= 0;
}

std::uint32_t Base64EncodedLength(std::uint32_t n) {
    if (n == 0) return 0;
    std::uint32_t chars = 4 * (n / 3) + (n % 3 != 0 ? 4 : 0);
    return chars + 2 * ((chars - 1) / kLineChars);
}

char* Base64Encode(const unsigned char* data, std::uint32_t length) {
    const std::uint32_t len = Base64EncodedLength(length);
    char* block = new char[static_cast<std::size_t>(len) + 1];
    std::memset(block, 0, static_cast<std::size_t>(len) + 1);

    std::uint32_t out = 0;
    for (std::uint32_t consumed = 0; consumed < length; consumed += 3) {
        const bool lineBreak = consumed != 0 && consumed % kLineBytes == 0;
        if (len - out < (lineBreak ? 6u : 4u)) break;  // never reached with len sized above
        if (lineBreak) {
            block[out++] = '\r';
            block[out++] = '\n';
        }
        const std::uint32_t left = length - consumed;
        const unsigned b1 = data[consumed];
        const unsigned b2 = left > 1 ? data[consumed + 1] : 0;
        const unsigned b3 = left > 2 ? data[consumed + 2] : 0;
        block[out++] = kBase64Alphabet[b1 >> 2];
        block[out++] = kBase64Alphabet[((b1 & 0x03) << 4) | (b2 >> 4)];
        block[out++] = left > 1 ? kBase64Alphabet[((b2 & 0x0F) << 2) | (b3 >> 6)]
                                : kBase64Alphabet[kPadIndex];
        block[out++] = left > 2 ? kBase64Alphabet[b3 & 0x3F] : kBase64Alphabet[kPadIndex];
    }
    return block;
}

std::string Base64Decode(const std::string& encoded) {
    std::string result(encoded.size(), '\0');
    result.resize(Base64DecodeInto(encoded.data(), encoded.size(), &result[0]));
    return result;
}

std::size_t Base64DecodeInto(const char* encoded, std::size_t n, char* out,
                             Base64Leftovers* leftovers) {
    const auto value = [encoded](std::size_t at) {
        return kBase64DecodeTable[static_cast<unsigned char>(encoded[at])];
    };
    std::size_t written = 0;
    std::size_t i = 0;
    // Next alphabet character from i; -1 (all bits set) when the input runs out.
    auto search = [&]() -> std::int32_t {
        for (; i < n && value(i) == -1; ++i) {
            if (leftovers != nullptr) NotePassedOver(*leftovers, encoded[i], i);
        }
        return i < n ? value(i) : -1;
    };
    // A "=" in a group's third or fourth place ends the text.
    auto ends = [&]() {
        if (encoded[i] != '=') return false;
        if (leftovers != nullptr) NoteEnd(*leftovers, encoded, i, n);
        return true;
    };
    auto append = [&](std::int32_t bits) { out[written++] = static_cast<char>(bits & 0xFF); };

    for (;;) {
        // Four alphabet characters in a row, as nearly all are: what the
        // steps below make of them, without their checks.
        while (i + 4 <= n && (value(i) | value(i + 1) | value(i + 2) | value(i + 3)) >= 0) {
            const std::int32_t bits = value(i) << 18 | value(i + 1) << 12 | value(i + 2) << 6 | value(i + 3);
            out[written] = static_cast<char>(bits >> 16);
            out[written + 1] = static_cast<char>(bits >> 8 & 0xFF);
            out[written + 2] = static_cast<char>(bits & 0xFF);
            written += 3;
            i += 4;
        }
        const std::int32_t x1 = search();
        if (i >= n) break;
        ++i;
        const std::int32_t x2 = search();
        append((x1 << 2) | ((x2 & 0x30) >> 4));

        ++i;
        if (i >= n) break;
        if (ends()) break;
        const std::int32_t x3 = search();
        append(((x2 & 0x0F) << 4) | ((x3 & 0x3C) >> 2));

        ++i;
        if (i >= n) break;
        if (ends()) break;
        const std::int32_t x4 = search();
        append(x4 == -1 ? 0xFF : (((x3 & 0x03) << 6) | x4));

        ++i;
        if (i >= n) break;
    }
    return written;
}

}  // namespace nalpoicomm
