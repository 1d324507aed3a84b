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

// Answers after `delayMs`; returns the result and how long the call took.
std::pair<int, Clock::duration> UpdateAfter(int delayMs) {
    TestHttpServer server;
    server.SetScript({ReplyStep::Sleep(delayMs), ReplyStep::Send(EncodedReply("<r><Tel>1</Tel></r>"))});
    WriteServiceConfig(server.Url());
    __POIINFO__ q{};
    __POICONTENT__ c{};
    const auto start = Clock::now();
    const int result = SendUpdateRequest(q, c);
    const auto elapsed = Clock::now() - start;
    std::free(c.Con);
    return {result, elapsed};
}

std::pair<int, Clock::duration> BatchAfter(int delayMs) {
    TestHttpServer server;
    server.SetScript({ReplyStep::Sleep(delayMs), ReplyStep::Send(EncodedReply("<Bat/>"))});
    WriteServiceConfig(server.Url());
    __POIINFO2__ q{};
    std::vector<__ADDHOTEL__> added;
    std::vector<__DELHOTEL__> deleted;
    std::vector<__UPDHOTEL__> updated;
    __HOTELNUM__ counts{};
    const auto start = Clock::now();
    const int result = RevBatch(q, added, deleted, updated, counts);
    return {result, Clock::now() - start};
}

}  // namespace

TEST(SlowUpdateLimit, ReplyAfter19SecondsIsRead) { EXPECT_EQ(UpdateAfter(19000).first, 1); }

TEST(SlowUpdateLimit, NoReplyAfter21SecondsTimesOutAtTheLimit) {
    const auto [result, elapsed] = UpdateAfter(21000);
    EXPECT_EQ(result, -9);
    EXPECT_GE(elapsed, milliseconds(20000));
    EXPECT_LT(elapsed, milliseconds(20500));
}

TEST(SlowBatchLimit, ReplyAfter59SecondsIsRead) { EXPECT_EQ(BatchAfter(59000).first, 1); }

TEST(SlowBatchLimit, NoReplyAfter61SecondsTimesOutAtTheLimit) {
    const auto [result, elapsed] = BatchAfter(61000);
    EXPECT_EQ(result, -9);
    EXPECT_GE(elapsed, milliseconds(60000));
    EXPECT_LT(elapsed, milliseconds(60500));
}
