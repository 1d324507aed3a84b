#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "encoding/base64.h"

using nalpoicomm::Base64Decode;
using nalpoicomm::Base64Encode;
using nalpoicomm::Base64EncodedLength;

namespace {

std::string Encode(const std::string& bytes) {
    std::unique_ptr<char[]> block(Base64Encode(
        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<uint32_t>(bytes.size())));
    return std::string(block.get());
}

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

const std::string kFortySix = Repeat("0123456789", 4) + "ABCDEF";
const std::string kFortySixEncoded =
    "MDEyMzQ1Njc4OTAxMjM0NTY3ODkwMTIzNDU2Nzg5MDEyMzQ1Njc4OUFCQ0RF\r\nRg==";

}  // namespace

TEST(Base64EncodedLength, MatchesTheLengthTable) {
    const struct { uint32_t n, expected; } cases[] = {
        {0, 0}, {1, 4}, {2, 4}, {3, 4}, {4, 8}, {45, 60}, {46, 66}, {90, 122}, {91, 128}, {1000, 1380},
    };
    for (const auto& c : cases) EXPECT_EQ(Base64EncodedLength(c.n), c.expected) << "n=" << c.n;
}

TEST(Base64Encode, WorkedExamples) {
    const struct { std::string in, out; } cases[] = {
        {"abc", "YWJj"},
        {"ab", "YWI="},
        {"a", "YQ=="},
        {"\xFF\xFF\xFF", "////"},
        {kFortySix, kFortySixEncoded},
        {std::string(45, 'A'), Repeat("QUFB", 15)},
        {std::string(90, 'A'), Repeat("QUFB", 15) + "\r\n" + Repeat("QUFB", 15)},
    };
    for (const auto& c : cases) EXPECT_EQ(Encode(c.in), c.out) << c.in;
}

TEST(Base64Encode, BlockIsTextPlusOneZeroByte) {
    for (uint32_t n : {1u, 2u, 45u, 46u, 90u, 137u}) {
        const std::string input(n, 'x');
        std::unique_ptr<char[]> block(
            Base64Encode(reinterpret_cast<const unsigned char*>(input.data()), n));
        const uint32_t len = Base64EncodedLength(n);
        EXPECT_EQ(std::char_traits<char>::length(block.get()), len) << n;
        EXPECT_EQ(block[len], '\0');
    }
}

TEST(Base64Encode, ZeroBytesGiveOnlyTheTerminator) {
    std::unique_ptr<char[]> block(Base64Encode(nullptr, 0));
    EXPECT_EQ(block[0], '\0');
}

TEST(Base64Encode, LinesHoldSixtyCharactersAndNoTrailingBreak) {
    for (uint32_t n = 1; n <= 300; ++n) {
        const std::string text = Encode(std::string(n, '\x5A'));
        std::size_t start = 0;
        for (;;) {
            const std::size_t crlf = text.find("\r\n", start);
            if (crlf == std::string::npos) {
                const std::size_t last = text.size() - start;
                EXPECT_GE(last, 4u) << n;
                EXPECT_LE(last, 60u) << n;
                break;
            }
            EXPECT_EQ(crlf - start, 60u) << n;
            start = crlf + 2;
        }
    }
}

TEST(Base64Decode, WorkedExamples) {
    const struct { std::string in, out; } cases[] = {
        {"YWJj", "abc"},
        {"YWI=", "ab"},
        {"YQ==", "a"},
        {kFortySixEncoded, kFortySix},
        {"YWJj\r\nYWJj", "abcabc"},
        {"Y\r\nWJj", "abc"},
        {"YWJj\r\n", "abc"},
        {"YWJjZA", "abcd"},
        {"YWJjZGU", "abcde"},
        {"YQ==YWJj", "a"},
        {"YWJj=ZGVm", "abcdef"},
        {"YWJjZ", std::string("abc\x67")},
        {"YW\r\n==", std::string("a\x6F")},
        {"\r\n", ""},
        {"====", ""},
        {"", ""},
        {" \t\x80\xFF", ""},
        // Breaks between the first and second, and the third and fourth character.
        {"Y\r\nW\r\nJ\r\nj", "abc"},
        // The pad test looks at the byte itself: a "=" after a skipped byte is skipped.
        {"YW \x3DJj", "abc"},
        // Whitespace condensed by an XML parser.
        {"QUJD REVG", "ABCDEF"},
    };
    for (const auto& c : cases) EXPECT_EQ(Base64Decode(c.in), c.out) << c.in;
}

TEST(Base64Decode, TellsWhatItLeftAside) {
    // Bytes passed over (CR and LF not counted) and the first one's offset;
    // alphabet characters after an ending "=" and that "="'s offset.
    const struct { std::string in; std::size_t passed, first, unread, endedAt; } cases[] = {
        {"YWJj\r\nYWJj", 0, 0, 0, 0},
        {"YW Jj", 1, 2, 0, 0},
        {"*YWJj\t", 2, 0, 0, 0},
        {"YW \x3DJj", 2, 2, 0, 0},  // a "=" after a skipped byte is passed over too
        {"YQ==YWJj", 0, 0, 4, 2},
        {"YQ==\r\n", 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        nalpoicomm::Base64Leftovers left;
        std::string out(c.in.size(), '\0');
        out.resize(nalpoicomm::Base64DecodeInto(c.in.data(), c.in.size(), &out[0], &left));
        EXPECT_EQ(out, Base64Decode(c.in)) << c.in;  // telling changes nothing decoded
        EXPECT_EQ(left.passedOver, c.passed) << c.in;
        EXPECT_EQ(left.firstPassed, c.first) << c.in;
        EXPECT_EQ(left.unread, c.unread) << c.in;
        EXPECT_EQ(left.endedAt, c.endedAt) << c.in;
    }
}

TEST(Base64Decode, RanOutCountsAsAllBitsSet) {
    // One character alone: x2 is -1, so the low two bits of the byte are set.
    EXPECT_EQ(Base64Decode("Y"), std::string(1, static_cast<char>((24 << 2) | 3)));
    // Three characters and a skipped tail: x4 is -1, the last byte is 0xFF.
    EXPECT_EQ(Base64Decode("YWJ\r\n"), std::string("ab\xFF"));
}

TEST(Base64RoundTrip, EveryLengthAndRandomBytes) {
    std::mt19937 random(20261208);
    for (uint32_t n = 1; n <= 300; ++n) {
        std::string bytes(n, '\0');
        for (auto& b : bytes) b = static_cast<char>(random() & 0xFF);
        const std::string encoded = Encode(bytes);
        EXPECT_EQ(encoded.size(), Base64EncodedLength(n));
        EXPECT_EQ(Base64Decode(encoded), bytes) << "n=" << n;
    }
}
