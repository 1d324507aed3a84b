// The two exported operations end to end: a real local service, a real
// install tree, the real parsers, and every result code.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "NalPoiComm.h"
#include "encoding/request_documents.h"
#include "interface/exchange_sequence.h"
#include "interface/exchange_state.h"
#include "support/bounded_wait.h"
#include "support/exchange_cases.h"
#include "support/install_tree.h"
#include "support/record_fields.h"
#include "support/replies.h"
#include "support/test_http_server.h"

using namespace testsupport;
using nalpoicomm::ExchangeState;
using Clock = std::chrono::steady_clock;

namespace testsupport {
void PrintTo(const ExchangeCase& c, std::ostream* out) { *out << c.name; }
}  // namespace testsupport

namespace {

__POIINFO__ Query(const std::string& id) {
    __POIINFO__ q;
    std::memset(&q, 0, sizeof q);
    Put(q.Type, "1");
    Put(q.Time, "2026-12-01 00:00:00");
    Put(q.ID, id);
    Put(q.Name, "Hotel");
    return q;
}

// A record as a host might pass it in: full of old bytes.
__POICONTENT__ UsedContent() {
    __POICONTENT__ c;
    std::memset(&c, 0xAB, sizeof c);
    c.Con = nullptr;
    return c;
}

char* BuildAnyRequest() { return nalpoicomm::BuildUpdateRequest(Query("P-1")); }

bool SameBytes(const void* a, const void* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }

bool BuffersEmpty() {
    return ExchangeState.RequestText == nullptr && ExchangeState.ReplyBuffer == nullptr &&
           ExchangeState.ReplyText == nullptr;
}

class ExportedOperationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteServiceConfig(server.Url());
        RemoveFile(ReplyCachePath());
    }
    void TearDown() override { EXPECT_TRUE(BuffersEmpty()) << "every buffer released on return"; }
    TestHttpServer server;
};

class SendUpdateRequestTest : public ExportedOperationsTest {};

}  // namespace

TEST_F(SendUpdateRequestTest, NullContentRecordGivesMinus4) {
    server.SetScript(AnswerWith("<r><Tel>1</Tel></r>"));
    // A host that passes a reference made from a null pointer; called through
    // the pointer-taking form of the same ABI so that the test itself has no
    // null reference in it.
    using PointerForm = int (*)(__POIINFO__&, __POICONTENT__*);
    auto send = reinterpret_cast<PointerForm>(reinterpret_cast<void (*)()>(&SendUpdateRequest));
    __POIINFO__ q = Query("P-1");
    EXPECT_EQ(send(q, nullptr), -4);
    EXPECT_EQ(server.Requests().size(), 1u) << "the exchange itself ran";
}

namespace {

// The cases of tests/cases/exchanges.txt, each against the local service.
class ExchangeCaseTest : public ExportedOperationsTest,
                         public ::testing::WithParamInterface<ExchangeCase> {
protected:
    void Serve(const ExchangeCase& c) {
        WriteServiceConfig(server.Url());
        RemoveFile(ReplyCachePath());
        if (c.answer == "reply") {
            server.SetScript(AnswerWith(c.document));
        } else if (c.answer == "no-length") {
            server.SetScript({ReplyStep::Send(HttpResponseWithLength(200, Base64(c.document), std::nullopt))});
        } else if (c.answer == "body") {
            server.SetScript({ReplyStep::Send(HttpResponse(200, c.document))});
        } else if (c.answer == "hangup") {
            server.SetScript({});
        } else if (c.answer == "refused") {
            WriteFile(ServiceConfigPath(),
                      "<r><u>http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/poi</u></r>");
        } else if (c.answer == "no-config") {
            RemoveFile(ServiceConfigPath());
        } else {
            FAIL() << "no such answer: " << c.answer;
        }
    }
};

std::string TableError;

std::vector<ExchangeCase> Table() { return ReadExchangeCases(NALPOI_CASE_TABLE, TableError); }

TEST(ExchangeCaseTable, IsReadWhole) {
    EXPECT_EQ(TableError, "");
    EXPECT_GE(Table().size(), 10u);
}

TEST_P(ExchangeCaseTest, Runs) {
    const ExchangeCase& c = GetParam();
    for (const std::string& difference : RunExchangeCase(c, [&](const ExchangeCase& each) { Serve(each); })) {
        ADD_FAILURE() << difference;
    }
    if (c.cachePrinted) {
        EXPECT_EQ(ReadFile(ReplyCachePath()), TinyXmlSaved(c.document));
    } else {
        EXPECT_FALSE(FileExists(ReplyCachePath())) << "no parser ran";
    }
    EXPECT_EQ(ExchangeState.ExchangeOutcome, c.result == -2 ? 0 : 1) << "kept after the call";
}

INSTANTIATE_TEST_SUITE_P(Table, ExchangeCaseTest, ::testing::ValuesIn(Table()),
                         [](const auto& info) { return info.param.name; });

}  // namespace

TEST_F(ExportedOperationsTest, TimeLimitEndsTheExchangeAtTheLimit) {
    server.SetScript({ReplyStep::Hang()});
    const auto start = Clock::now();
    bool stepRan = false;
    const int result = FinishesWithin(std::chrono::seconds(10), "a 300 ms limit", [&] {
        return nalpoicomm::RunExchangeSequence(
            [] { return BuildAnyRequest(); }, 300, [&](const char*) { stepRan = true; return 1; });
    });
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(result, -9);
    EXPECT_FALSE(stepRan);
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
    EXPECT_LT(elapsed, std::chrono::milliseconds(800)) << "returns promptly after the limit";
    EXPECT_TRUE(server.WaitUntilIdle(2000)) << "the connection was dropped";

    // A reply inside the limit reaches the reply step.
    server.SetScript({ReplyStep::Sleep(100), ReplyStep::Send(EncodedReply("<r/>"))});
    std::string seen;
    EXPECT_EQ(nalpoicomm::RunExchangeSequence(
                  [] { return BuildAnyRequest(); }, 2000,
                  [&](const char* reply) { seen = reply; return 42; }),
              42);
    EXPECT_EQ(seen, "<r/>");
}

// After a time-out the caller waits for its worker without a limit: a worker
// stuck where the session close cannot reach it (opening a service file that
// is a FIFO no one writes to yet) has ended before the call returns.
TEST_F(ExportedOperationsTest, AfterATimeOutTheCallWaitsForItsWorker) {
    RemoveFile(ServiceConfigPath());
    ASSERT_EQ(mkfifo(ServiceConfigPath().c_str(), 0600), 0);
    constexpr auto kStuck = std::chrono::milliseconds(2500);
    std::thread writer([=] {
        std::this_thread::sleep_for(kStuck);
        // Only a reader that is there gets the file, so this never blocks.
        const int fifo = open(ServiceConfigPath().c_str(), O_WRONLY | O_NONBLOCK);
        if (fifo >= 0) close(fifo);  // an empty file: the worker fails and ends
    });
    const auto start = Clock::now();
    const int result = FinishesWithin(std::chrono::seconds(20), "the wait after a time-out", [] {
        return nalpoicomm::RunExchangeSequence([] { return BuildAnyRequest(); }, 200,
                                               [](const char*) { return 1; });
    });
    const auto elapsed = Clock::now() - start;
    writer.join();
    RemoveFile(ServiceConfigPath());
    EXPECT_EQ(result, -9);
    EXPECT_GE(elapsed, kStuck) << "returned while its worker still ran";
    EXPECT_LT(elapsed, kStuck + std::chrono::seconds(5));
}

TEST_F(ExportedOperationsTest, ExceptionsInsideEndTheCallWithMinus2) {
    server.SetScript(AnswerWith("<r/>"));
    EXPECT_EQ(nalpoicomm::RunExchangeSequence([]() -> char* { throw std::bad_alloc(); }, 2000,
                                              [](const char*) { return 1; }),
              -2);
    EXPECT_TRUE(BuffersEmpty());
    EXPECT_EQ(nalpoicomm::RunExchangeSequence(
                  [] { return BuildAnyRequest(); }, 2000,
                  [](const char*) -> int { throw std::bad_alloc(); }),
              -2);
}

// A worker that cannot be started: the child process may create no thread
// at all. A stale success of the earlier call must not turn into -3.
TEST_F(ExportedOperationsTest, WorkerThatCannotStartGivesMinus2) {
    server.SetScript(AnswerWith("<r><Tel>1</Tel></r>"));
    __POIINFO__ q = Query("P-1");
    __POICONTENT__ c{};
    ASSERT_EQ(SendUpdateRequest(q, c), 1);
    ASSERT_EQ(ExchangeState.ExchangeOutcome, 1);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Without privileges, a process limit of 0 makes every new thread fail.
        if (getuid() == 0 && setuid(65534) != 0) _exit(20);
        const rlimit none{0, 0};
        if (setrlimit(RLIMIT_NPROC, &none) != 0) _exit(21);
        __POICONTENT__ untouched = UsedContent();
        const __POICONTENT__ before = untouched;
        const int result = SendUpdateRequest(q, untouched);
        if (!SameBytes(&untouched, &before, sizeof before)) _exit(22);
        _exit(result == -2 ? 0 : 30 + (result & 0x7F));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
