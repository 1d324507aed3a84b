// The real time limits: 20 s for SendUpdateRequest, 60 s for RevBatch. Each
// case is its own ctest entry, labelled slow.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "NalPoiComm.h"
#include "support/install_tree.h"
#include "support/replies.h"
#include "support/test_http_server.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

struct Outcome {
    int result;
    Clock::duration elapsed;
    bool recordsUntouched;  // the caller's records and lists as they were passed in
};

// Answers after `delayMs`, with a reply that would fill the record. Over
// https the plain server never answers the TLS ClientHello: a handshake that stalls.
Outcome UpdateAfter(int delayMs, const char* scheme = "http") {
    TestHttpServer server;
    server.SetScript({ReplyStep::Sleep(delayMs), ReplyStep::Send(EncodedReply("<r><Tel>1</Tel></r>"))});
    WriteServiceConfig(scheme + server.Url().substr(4));
    __POIINFO__ q{};
    __POICONTENT__ c;
    std::memset(&c, 0xAB, sizeof c);
    c.Con = nullptr;
    const __POICONTENT__ before = c;
    const auto start = Clock::now();
    const int result = SendUpdateRequest(q, c);
    const auto elapsed = Clock::now() - start;
    const bool untouched = std::memcmp(&c, &before, sizeof c) == 0;
    std::free(c.Con);
    return {result, elapsed, untouched};
}

Outcome BatchAfter(int delayMs) {
    TestHttpServer server;
    server.SetScript({ReplyStep::Sleep(delayMs),
                      ReplyStep::Send(EncodedReply(
                          "<Bat><Time>2026-12-08 00:00:00</Time><NumD Del=\"1\"><H><ID>x</ID></H></NumD></Bat>"))});
    WriteServiceConfig(server.Url());
    __POIINFO2__ q{};
    std::vector<__ADDHOTEL__> added;
    std::vector<__DELHOTEL__> deleted;
    std::vector<__UPDHOTEL__> updated;
    __HOTELNUM__ counts{-7, -7, -7};
    const auto start = Clock::now();
    const int result = RevBatch(q, added, deleted, updated, counts);
    const auto elapsed = Clock::now() - start;
    const bool untouched = q.Time[0] == 0 && counts.NumD == -7 && deleted.empty();
    return {result, elapsed, untouched};
}

}  // namespace

TEST(SlowUpdateLimit, ReplyAfter19SecondsIsRead) {
    const Outcome outcome = UpdateAfter(19000);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_FALSE(outcome.recordsUntouched);
}

TEST(SlowUpdateLimit, NoReplyAfter21SecondsTimesOutAtTheLimit) {
    for (const char* scheme : {"http", "https"}) {
        const Outcome outcome = UpdateAfter(21000, scheme);
        EXPECT_EQ(outcome.result, -9) << scheme;
        EXPECT_GE(outcome.elapsed, milliseconds(20000)) << scheme;
        EXPECT_LT(outcome.elapsed, milliseconds(20500)) << scheme;
        EXPECT_TRUE(outcome.recordsUntouched) << scheme;
    }
}

TEST(SlowBatchLimit, ReplyAfter59SecondsIsRead) {
    const Outcome outcome = BatchAfter(59000);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_FALSE(outcome.recordsUntouched);
}

TEST(SlowBatchLimit, NoReplyAfter61SecondsTimesOutAtTheLimit) {
    const Outcome outcome = BatchAfter(61000);
    EXPECT_EQ(outcome.result, -9);
    EXPECT_GE(outcome.elapsed, milliseconds(60000));
    EXPECT_LT(outcome.elapsed, milliseconds(60500));
    EXPECT_TRUE(outcome.recordsUntouched);
}
