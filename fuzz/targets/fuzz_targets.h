// Entry points of the fuzz targets. Each takes one input as libFuzzer hands
// it over, runs the library code under test with it, releases everything it
// got back and returns false when the library broke a promise of its
// contract (sanitizers catch the memory faults). The libFuzzer shim and the
// regression test call the same functions, so a saved input replays exactly.
//
// The parsers, the configuration reader and the exchange read and write
// files of the install tree: the process must run from one
// (testsupport::EnterInstallTree).
#ifndef NALPOICOMM_FUZZ_TARGETS_FUZZ_TARGETS_H
#define NALPOICOMM_FUZZ_TARGETS_FUZZ_TARGETS_H

#include <cstddef>
#include <cstdint>

namespace nalpoifuzz {

using FuzzEntry = bool (*)(const std::uint8_t* data, std::size_t size);

// Arbitrary text for Base64Decode.
bool FuzzBase64Decode(const std::uint8_t* data, std::size_t size);
// Arbitrary decoded reply text (up to its first zero byte) for ParseUpdateReply.
bool FuzzUpdateReply(const std::uint8_t* data, std::size_t size);
// Arbitrary decoded reply text (up to its first zero byte) for ParseBatchReply.
bool FuzzBatchReply(const std::uint8_t* data, std::size_t size);
// Arbitrary serviceIP.xml contents for ReadServiceUrl.
bool FuzzServiceConfig(const std::uint8_t* data, std::size_t size);
// First two bytes: which components are asked for, with which buffer sizes,
// and the URL length passed; the rest: UTF-16 code units of the URL.
bool FuzzCrackUrl(const std::uint8_t* data, std::size_t size);
// First byte: even for SendUpdateRequest, odd for RevBatch; the rest: the
// whole HTTP reply (status line, headers, body) the local service sends.
bool FuzzExchange(const std::uint8_t* data, std::size_t size);

struct FuzzTarget {
    const char* name;  // folder name under fuzz/corpus and fuzz/regressions
    FuzzEntry entry;
};

// Every target, in a fixed order.
const FuzzTarget* AllTargets(std::size_t& count);

}  // namespace nalpoifuzz

#endif
