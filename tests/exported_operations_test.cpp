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
#include "support/install_tree.h"
#include "support/record_fields.h"
#include "support/replies.h"
#include "support/test_http_server.h"

using namespace testsupport;
using nalpoicomm::ExchangeState;
using Clock = std::chrono::steady_clock;

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

__POIINFO2__ BatchQuery(const std::string& time) {
    __POIINFO2__ q;
    std::memset(&q, 0, sizeof q);
    Put(q.Type, "2");
    Put(q.Time, time);
    return q;
}

// A record as a host might pass it in: full of old bytes and an old pointer.
char* const kOldCon = reinterpret_cast<char*>(0x1234);  // never dereferenced, never freed

__POICONTENT__ UsedContent() {
    __POICONTENT__ c;
    std::memset(&c, 0xAB, sizeof c);
    c.Con = kOldCon;
    return c;
}

char* BuildAnyRequest() { return nalpoicomm::BuildUpdateRequest(Query("P-1")); }

bool SameBytes(const void* a, const void* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }

bool BuffersEmpty() {
    return ExchangeState.RequestText == nullptr && ExchangeState.ReplyBuffer == nullptr &&
           ExchangeState.ReplyText == nullptr;
}

const std::string kFullUpdate =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Poi><Status>1</Status><Tel>020-5555</Tel><Addr>1 Harbour Road</Addr>"
    "<Time>2026-12-08 10:00:00</Time><Con>Sea view &amp; breakfast</Con>"
    "<Pri><P><Name>Double room</Name><Mark>A</Mark><Agr>120</Agr><Bref>B&amp;B</Bref></P>"
    "<P><Name>Single room</Name><Agr>80</Agr></P></Pri></Poi>";

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
class RevBatchTest : public ExportedOperationsTest {};

}  // namespace

TEST_F(SendUpdateRequestTest, FillsTheRecordFromAFullReply) {
    server.SetScript(AnswerWith(kFullUpdate));
    __POIINFO__ q = Query("P-1");
    __POICONTENT__ c = UsedContent();
    ASSERT_EQ(SendUpdateRequest(q, c), 1);
    EXPECT_STREQ(c.Tel, "020-5555");
    EXPECT_STREQ(c.Addr, "1 Harbour Road");
    EXPECT_STREQ(c.Time, "2026-12-08 10:00:00");
    ASSERT_NE(c.Con, nullptr);
    EXPECT_STREQ(c.Con, "Sea view & breakfast");
    EXPECT_STREQ(c.Pri[0].Name, "Double room");
    EXPECT_STREQ(c.Pri[0].Mark, "A");
    EXPECT_STREQ(c.Pri[0].Agr, "120");
    EXPECT_STREQ(c.Pri[0].Bref, "B&B");
    EXPECT_STREQ(c.Pri[1].Name, "Single room");
    EXPECT_STREQ(c.Pri[1].Mark, "");
    const __PRIITEM__ zero{};
    EXPECT_TRUE(SameBytes(&c.Pri[2], &zero, sizeof zero));
    EXPECT_TRUE(SameBytes(c.Reserved, "\0\0\0\0", 4));
    std::free(c.Con);  // the host owns it
    EXPECT_EQ(ExchangeState.ExchangeOutcome, 1) << "kept after a success";
}

TEST_F(SendUpdateRequestTest, ResultCodesAndTheCacheFile) {
    const struct {
        const char* what;
        std::string reply;
        int code;
        bool conHandedOut;
    } cases[] = {
        {"taken", "<r><Tel>1</Tel></r>", 1, false},
        {"status 0", "<r><Con>kept</Con><Status>0</Status><Tel>late</Tel></r>", 219, true},
        {"status 2", "<r><Tel>early</Tel><Status>2</Status></r>", 620, false},
        {"no element", "just some text", -1, false},
        {"only a declaration", "<?xml version=\"1.0\"?>", -1, false},
        {"BOM and a comment", "\xEF\xBB\xBF<!-- c --><r><Addr>a</Addr></r>", 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server.SetScript(AnswerWith(c.reply));
        __POIINFO__ q = Query("P-1");
        __POICONTENT__ content = UsedContent();
        EXPECT_EQ(SendUpdateRequest(q, content), c.code);
        // Only a Con that the call set is the host's to read and free.
        EXPECT_NE(content.Con, kOldCon) << "a parser zeroes the record first";
        char* const con = content.Con == kOldCon ? nullptr : content.Con;
        EXPECT_EQ(con != nullptr, c.conHandedOut);
        if (con != nullptr) {
            EXPECT_STREQ(con, "kept");
        }
        if (c.code == 219) {
            EXPECT_STREQ(content.Tel, "") << "elements after the status are not read";
        }
        if (c.code == 620) {
            EXPECT_STREQ(content.Tel, "early");
        }
        std::free(con);
        EXPECT_EQ(ReadFile(ReplyCachePath()), TinyXmlSaved(c.reply));
        EXPECT_TRUE(FileExists(ReplyCachePath()));
    }
}

TEST_F(SendUpdateRequestTest, TransportFailuresLeaveTheRecordUntouched) {
    const std::string refused =
        "<r><u>http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/poi</u></r>";
    const struct { const char* what; std::string config; ReplyScript script; } cases[] = {
        {"connection refused", refused, {}},
        {"no configuration", "", {}},
        {"no Content-Length", "",
         {ReplyStep::Send(HttpResponseWithLength(200, Base64("<r/>"), std::nullopt))}},
        {"reply decodes to one character", "", {ReplyStep::Send(HttpResponse(200, "YQ=="))}},
        {"server hangs up", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (std::string(c.what) == "no configuration") {
            RemoveFile(ServiceConfigPath());
        } else if (!c.config.empty()) {
            WriteFile(ServiceConfigPath(), c.config);
        } else {
            WriteServiceConfig(server.Url());
        }
        server.SetScript(c.script);
        __POIINFO__ q = Query("P-1");
        __POICONTENT__ content = UsedContent();
        const __POICONTENT__ before = content;
        EXPECT_EQ(SendUpdateRequest(q, content), -2);
        EXPECT_TRUE(SameBytes(&content, &before, sizeof content));
        EXPECT_FALSE(FileExists(ReplyCachePath())) << "no parser ran";
        EXPECT_TRUE(BuffersEmpty());
        EXPECT_EQ(ExchangeState.ExchangeOutcome, 0) << "kept after a failure";
    }
}

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

TEST_F(RevBatchTest, AppendsToTheListsAndCopiesTimeAndCounts) {
    server.SetScript(AnswerWith(
        "<Bat><NumA Add=\"2\"><H><ID>A1</ID><HN>Alpha</HN><Con>new</Con><Tel>1</Tel></H>"
        "<H><ID>A2</ID><Addr>Quay</Addr><Pri><x><Name>Suite</Name></x></Pri></H></NumA>"
        "<NumD Del=\"1\"><H><ID>D1</ID><HN>Gone</HN><Con>ignored</Con></H></NumD>"
        "<NumU Upd=\"1\"><H><ID>U1</ID><Con>changed</Con></H></NumU>"
        "<Time>2026-12-08 11:00:00</Time><Status>1</Status></Bat>"));
    __POIINFO2__ q = BatchQuery("2026-12-01 00:00:00");
    std::vector<__ADDHOTEL__> added(1);
    std::vector<__DELHOTEL__> deleted(1);
    std::vector<__UPDHOTEL__> updated;
    std::memset(added.data(), 0, sizeof(__ADDHOTEL__));
    Put(added[0].ID, "old");
    std::memset(deleted.data(), 0, sizeof(__DELHOTEL__));
    __HOTELNUM__ counts{-7, -7, -7};

    ASSERT_EQ(RevBatch(q, added, deleted, updated, counts), 1);
    ASSERT_EQ(added.size(), 3u);
    EXPECT_STREQ(added[0].ID, "old") << "never cleared";
    EXPECT_STREQ(added[1].ID, "A1");
    EXPECT_STREQ(added[1].HN, "Alpha");
    EXPECT_STREQ(added[1].Con, "new");
    EXPECT_STREQ(added[2].Addr, "Quay");
    EXPECT_EQ(added[2].Con, nullptr);
    EXPECT_STREQ(added[2].Pri[0].Name, "Suite");
    ASSERT_EQ(deleted.size(), 2u);
    EXPECT_STREQ(deleted[1].ID, "D1");
    ASSERT_EQ(updated.size(), 1u);
    EXPECT_STREQ(updated[0].Con, "changed");
    EXPECT_STREQ(q.Time, "2026-12-08 11:00:00");
    EXPECT_EQ(counts.NumA, 2);
    EXPECT_EQ(counts.NumD, 1);
    EXPECT_EQ(counts.NumU, 1);
    for (auto& h : added) std::free(h.Con);
    for (auto& h : updated) std::free(h.Con);

    // A later reply without Time or NumD: the earlier values are copied out.
    server.SetScript(AnswerWith("<Bat><NumA Add=\"0\"/><NumU Upd=\"0\"/></Bat>"));
    __POIINFO2__ later = BatchQuery("x");
    ASSERT_EQ(RevBatch(later, added, deleted, updated, counts), 1);
    EXPECT_STREQ(later.Time, "2026-12-08 11:00:00");
    EXPECT_EQ(counts.NumA, 0);
    EXPECT_EQ(counts.NumD, 1);
    EXPECT_EQ(counts.NumU, 0);
    EXPECT_EQ(added.size(), 3u);
}

TEST_F(RevBatchTest, NothingCopiedOutUnlessTaken) {
    const std::string refused =
        "<r><u>http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/poi</u></r>";
    const struct { const char* what; std::string reply; int code; bool parsed; } cases[] = {
        {"status 0", "<Bat><NumA Add=\"1\"><H><ID>x</ID></H></NumA><Time>t</Time><Status>0</Status></Bat>", 218, true},
        {"a later status 0 after 2", "<Bat><Status>2</Status><Time>t</Time><Status>0</Status></Bat>", 218, true},
        {"no element", "nothing here", -1, true},
        {"transport failure", "", -2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.parsed) {
            WriteServiceConfig(server.Url());
            server.SetScript(AnswerWith(c.reply));
        } else {
            WriteFile(ServiceConfigPath(), refused);
        }
        RemoveFile(ReplyCachePath());
        __POIINFO2__ q = BatchQuery("2026-01-01 00:00:00");
        std::vector<__ADDHOTEL__> added;
        std::vector<__DELHOTEL__> deleted;
        std::vector<__UPDHOTEL__> updated;
        __HOTELNUM__ counts{-7, -7, -7};
        EXPECT_EQ(RevBatch(q, added, deleted, updated, counts), c.code);
        EXPECT_STREQ(q.Time, "2026-01-01 00:00:00");
        EXPECT_EQ(counts.NumA, -7);
        EXPECT_EQ(counts.NumD, -7);
        EXPECT_EQ(counts.NumU, -7);
        EXPECT_TRUE(added.empty() && deleted.empty() && updated.empty());
        EXPECT_EQ(FileExists(ReplyCachePath()), c.parsed);
        if (c.parsed) {
            EXPECT_EQ(ReadFile(ReplyCachePath()), TinyXmlSaved(c.reply));
        }
    }
}

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
