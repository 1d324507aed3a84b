// The real time limits: 20 s for SendUpdateRequest, 60 s for RevBatch. Each
// case is its own ctest entry, labelled slow.
#include <gtest/gtest.h>

#include <chrono>

#include "NalPoiComm.h"
#include "support/exchange_cases.h"
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
    const auto start = Clock::now();
    const CallOutcome call = MakeCall(ExchangeCall{});
    return {call.result, Clock::now() - start, call.untouched};
}

Outcome BatchAfter(int delayMs) {
    TestHttpServer server;
    server.SetScript({ReplyStep::Sleep(delayMs),
                      ReplyStep::Send(EncodedReply(
                          "<Bat><Time>2026-12-08 00:00:00</Time><NumD Del=\"1\"><H><ID>x</ID></H></NumD></Bat>"))});
    WriteServiceConfig(server.Url());
    ExchangeCall batch;
    batch.batch = true;
    const auto start = Clock::now();
    const CallOutcome call = MakeCall(batch);
    return {call.result, Clock::now() - start, call.untouched};
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
