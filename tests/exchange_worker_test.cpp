#include <gtest/gtest.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "encoding/base64.h"
#include "encoding/request_documents.h"
#include "interface/exchange_state.h"
#include "platform/posix/internet_handles.h"
#include "support/bounded_wait.h"
#include "support/install_tree.h"
#include "support/test_http_server.h"
#include "support/worker_run.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

std::string Encode(const std::string& text) {
    std::unique_ptr<char[]> block(nalpoicomm::Base64Encode(
        reinterpret_cast<const unsigned char*>(text.data()), static_cast<uint32_t>(text.size())));
    return block.get();
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

const std::string kReply = "<r><Tel>1</Tel></r>";

class ExchangeWorkerTest : public ::testing::Test {
protected:
    void TearDown() override {
        // Every handle the worker opened is closed again, on every path.
        EXPECT_EQ(nalpoicomm::OpenInternetHandleCount(), 0u);
    }
};

// One exchange against a fresh server that answers with `script`.
WorkerRun Exchange(const ReplyScript& script, TestHttpServer& server,
                   const std::string& path = "/poi") {
    server.SetScript(script);
    WriteServiceConfig(server.Url(path));
    return RunWorkerOnce();
}

}  // namespace

// Each failing step, and what the worker leaves behind: nothing, except
// after a reply that decodes to fewer than two characters.
TEST_F(ExchangeWorkerTest, FailureTable) {
    const std::string refused = std::to_string(UnusedLoopbackPort());
    const struct {
        const char* what;
        std::string config;  // "" for no file; {url} is the server's URL
        bool withSession;
        std::string response;
        bool buffersLeft;
        bool connects = true;  // to the test server
    } cases[] = {
        {"no configuration file", "", true, HttpResponse(200, Encode(kReply)), false, false},
        {"URL that cannot be split", "<r><u>no scheme here</u></r>", true, "", false, false},
        {"no session, so no connection", "<r><u>{url}</u></r>", false, "", false, false},
        {"connection refused", "<r><u>http://127.0.0.1:" + refused + "/poi</u></r>", true, "", false, false},
        {"server closes without a reply", "<r><u>{url}</u></r>", true, "", false},
        {"no Content-Length", "<r><u>{url}</u></r>", true,
         HttpResponseWithLength(200, Encode(kReply), std::nullopt), false},
        {"Content-Length 0", "<r><u>{url}</u></r>", true,
         HttpResponseWithLength(200, "", std::string("0")), false},
        {"Content-Length 30720", "<r><u>{url}</u></r>", true,
         HttpResponse(200, std::string(30720, 'Q')), false},
        {"Content-Length past 32 bits", "<r><u>{url}</u></r>", true,
         HttpResponseWithLength(200, Encode(kReply), std::string("4294967336")), false},
        {"Content-Length not a number", "<r><u>{url}</u></r>", true,
         HttpResponseWithLength(200, Encode(kReply), std::string("abc")), false},
        {"one decoded character", "<r><u>{url}</u></r>", true, HttpResponse(200, "YQ=="), true},
        {"nothing decodable", "<r><u>{url}</u></r>", true, HttpResponse(200, "!!!!"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestHttpServer server;
        server.SetScript({ReplyStep::Send(c.response)});
        if (c.config.empty()) {
            RemoveFile(ServiceConfigPath());
        } else {
            WriteFile(ServiceConfigPath(), Replace(c.config, "{url}", server.Url()));
        }
        const WorkerRun run = RunWorkerOnce("UkVR", c.withSession);
        EXPECT_TRUE(run.ended);
        EXPECT_EQ(run.outcome, 0);
        EXPECT_EQ(run.replyBufferLeft, c.buffersLeft);
        EXPECT_EQ(run.replyText.has_value(), c.buffersLeft);
        EXPECT_EQ(server.Connections(), c.connects ? 1u : 0u);
    }
}

TEST_F(ExchangeWorkerTest, ContentLengthGateAcceptsOneTo30719) {
    const std::string full = std::string(30716, 'Q') + "UJD";  // 30719 bytes, decodes to text
    const struct { std::string body; bool success; } cases[] = {
        {"Y", false},  // accepted by the gate; one decoded byte then fails the text test
        {full, true},
    };
    for (const auto& c : cases) {
        TestHttpServer server;
        const WorkerRun run = Exchange({ReplyStep::Send(HttpResponse(200, c.body))}, server);
        EXPECT_EQ(run.outcome, c.success ? 1 : 0) << c.body.size();
        EXPECT_TRUE(run.replyText.has_value()) << "the body was read and decoded";
    }
}

TEST_F(ExchangeWorkerTest, AnyStatusWithAGoodBodyIsASuccess) {
    for (int status : {200, 404, 500}) {
        TestHttpServer server;
        const WorkerRun run = Exchange({ReplyStep::Send(HttpResponse(status, Encode(kReply)))}, server);
        EXPECT_EQ(run.outcome, 1) << status;
        EXPECT_FALSE(run.replyBufferLeft) << "released on success";
        EXPECT_EQ(run.replyText, kReply);
    }
}

TEST_F(ExchangeWorkerTest, ReplyTextFromWhatArrived) {
    const std::string encoded = Encode("ABCDEF");  // QUJDREVG
    const struct { const char* what; ReplyScript script; std::string text; } cases[] = {
        {"body shorter than announced, then close",
         {ReplyStep::Send(HttpResponseWithLength(200, encoded, std::string("100")))}, "ABCDEF"},
        // A read fills its 4096 bytes however the body arrives, so the cut
        // reaches to the end of that read and no further.
        {"a zero byte cuts the rest of its read only",
         {ReplyStep::Send(HttpResponseWithLength(200, std::string("QUJD\0", 5) + std::string(2000, 'g'),
                                                 std::string("4100"))),
          ReplyStep::Sleep(100), ReplyStep::Send(std::string(2091, 'g') + "REVG")},
         "ABCDEF"},
        {"bytes past the announced length are not kept (a chunked body runs on)",
         {ReplyStep::Send(HttpResponseWithLength(200, "c\r\nQUJDREVGWFla\r\n0\r\n\r\n",
                                                 std::string("8"),
                                                 {"Transfer-Encoding: chunked"}))},
         "ABCDEF"},
        {"decoded text ends at its first zero byte",
         {ReplyStep::Send(HttpResponse(200, Encode(std::string("AB\0CD", 5))))}, "AB"},
        {"body in delayed pieces",
         {ReplyStep::Send(HttpResponseWithLength(200, "QU", std::string("8"))), ReplyStep::Sleep(100),
          ReplyStep::Send("JDR"), ReplyStep::Sleep(100), ReplyStep::Send("EVG")},
         "ABCDEF"},
    };
    for (const auto& c : cases) {
        TestHttpServer server;
        const WorkerRun run = Exchange(c.script, server);
        EXPECT_EQ(run.outcome, 1) << c.what;
        EXPECT_EQ(run.replyText, c.text) << c.what;
    }
}

// The server keeps the connection open after the body: the exchange ends at
// Content-Length bytes instead of waiting for the peer to hang up.
TEST_F(ExchangeWorkerTest, EndsAtTheAnnouncedLengthOnAnOpenConnection) {
    for (std::size_t size : {4096u, 4097u, 12000u}) {
        std::string body(size - size % 4, 'Q');
        body += std::string(size % 4, '\n');
        TestHttpServer server;
        const auto start = Clock::now();
        const WorkerRun run =
            Exchange({ReplyStep::Send(HttpResponse(200, body)), ReplyStep::Hang()}, server);
        EXPECT_EQ(run.outcome, 1) << size;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << size;
    }
}

TEST_F(ExchangeWorkerTest, RefusesAHugeReplyWithoutDownloadingIt) {
    TestHttpServer server;
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n";
    const WorkerRun run =
        Exchange({ReplyStep::Send(head + std::string(65536, 'Q')), ReplyStep::Hang()}, server);
    EXPECT_EQ(run.outcome, 0);
    EXPECT_FALSE(run.replyBufferLeft);
    EXPECT_TRUE(server.WaitUntilIdle(2000)) << "the connection was dropped";
}

TEST_F(ExchangeWorkerTest, SendsExactlyTheRequestOnTheWire) {
    __POIINFO__ query;
    std::memset(&query, 0, sizeof query);
    std::strcpy(query.Type, "1");
    std::strcpy(query.Time, "20");
    std::strcpy(query.ID, "123");
    std::strcpy(query.Name, "abc");
    std::unique_ptr<char[]> encoded(nalpoicomm::BuildUpdateRequest(query));

    TestHttpServer server;
    server.SetScript({ReplyStep::Send(HttpResponse(200, Encode(kReply)))});
    WriteServiceConfig(server.Url("/poi/q?x=1"));
    EXPECT_EQ(RunWorkerOnce(encoded.get()).outcome, 1);

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& r = requests[0];
    EXPECT_EQ(r.requestLine, "POST /poi/q?x=1 HTTP/1.1");
    EXPECT_EQ(r.body,
              "PD94bWwgdmVyc2lvbj0iMS4wIiBlbmNvZGluZz0iVVRGLTgiPz48UG9pPjxU\r\n"
              "eXBlPjE8L1R5cGU+PFRpbWU+MjA8L1RpbWU+PElEPjEyMzwvSUQ+PE5hbWU+\r\n"
              "YWJjPC9OYW1lPjwvUG9pPg==");
    EXPECT_EQ(r.Header("Content-Length"), "148");
    EXPECT_EQ(r.Header("User-Agent"), "RuzOruz");
    EXPECT_EQ(r.Header("Host"), "127.0.0.1:" + std::to_string(server.Port()));
    std::vector<std::string> names;
    for (const auto& header : r.headers) names.push_back(header.first);
    EXPECT_EQ(names, (std::vector<std::string>{"Host", "User-Agent", "Content-Length"}))
        << "no Content-Type, Accept, Expect or credentials";
}

TEST_F(ExchangeWorkerTest, FollowsRedirectsAsWinInetDoes) {
    const struct { int status; std::string method; bool withBody; } cases[] = {
        {301, "GET", false}, {302, "GET", false}, {303, "GET", false},
        {307, "POST", true}, {308, "POST", true},
    };
    for (const auto& c : cases) {
        TestHttpServer server;
        server.SetRouter([&](const RecordedRequest& r) -> std::optional<ReplyScript> {
            if (r.target == "/poi") {
                return ReplyScript{ReplyStep::Send(
                    HttpResponse(c.status, "", {"Location: /moved"}))};
            }
            return ReplyScript{ReplyStep::Send(HttpResponse(200, Encode(kReply)))};
        });
        WriteServiceConfig(server.Url());
        EXPECT_EQ(RunWorkerOnce("UkVR").outcome, 1) << c.status;
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 2u) << c.status;
        EXPECT_EQ(requests[1].requestLine, c.method + " /moved HTTP/1.1") << c.status;
        EXPECT_EQ(requests[1].body, c.withBody ? "UkVR" : "") << c.status;
        EXPECT_EQ(requests[1].HasHeader("Content-Length"), c.withBody) << c.status;
    }
}

TEST_F(ExchangeWorkerTest, RedirectsOnlyToHttpAndOnlyAFewHops) {
    const struct { const char* what; std::string location; } cases[] = {
        {"to https", "https://127.0.0.1:1/secure"},
        {"endless", "/poi"},
    };
    for (const auto& c : cases) {
        TestHttpServer server;
        const WorkerRun run =
            Exchange({ReplyStep::Send(HttpResponse(302, "", {"Location: " + c.location}))}, server);
        EXPECT_EQ(run.outcome, 0) << c.what;
        EXPECT_LE(server.Requests().size(), 6u) << c.what;
    }
}

// An https URL without a port goes to 443, and what goes there is TLS: a
// ClientHello, never the request in clear text.
TEST_F(ExchangeWorkerTest, HttpsUrlGoesToPort443OverTls) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(443);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0) {
        close(listener);
        GTEST_SKIP() << "port 443 cannot be bound here";
    }
    std::string received;
    std::thread peer([&] {
        // A worker that never connects must fail the test, not hang it.
        pollfd waiting{listener, POLLIN, 0};
        if (poll(&waiting, 1, 5000) != 1) return;
        const int connection = accept(listener, nullptr, nullptr);
        if (connection < 0) return;
        timeval limit{5, 0};
        setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char buffer[512];
        const ssize_t n = recv(connection, buffer, sizeof buffer, 0);
        if (n > 0) received.assign(buffer, static_cast<std::size_t>(n));
        close(connection);  // no reply: the exchange fails, which is fine here
    });
    WriteServiceConfig("https://127.0.0.1/poi");
    EXPECT_EQ(RunWorkerOnce().outcome, 0);
    peer.join();
    close(listener);
    ASSERT_GE(received.size(), 2u);
    EXPECT_EQ(received.substr(0, 2), "\x16\x03") << "a TLS handshake record";
    EXPECT_EQ(received.find("POST"), std::string::npos);
}

TEST_F(ExchangeWorkerTest, ClosingTheSessionAbortsABlockedWorker) {
    const struct {
        const char* scheme;
        bool hangBeforeBody;
    } cases[] = {{"http", true}, {"http", false}, {"https", true}};  // https: a stalled handshake
    for (const auto& blocked : cases) {
        const bool hangBeforeBody = blocked.hangBeforeBody;
        TestHttpServer server;
        server.SetScript(hangBeforeBody
                             ? ReplyScript{ReplyStep::Hang()}
                             : ReplyScript{ReplyStep::Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nQUJD"),
                                           ReplyStep::Hang()});
        WriteServiceConfig(blocked.scheme + server.Url().substr(4));
        const auto start = Clock::now();
        const WorkerRun run =
            FinishesWithin(std::chrono::seconds(10), "a 300 ms wait", [] { return RunWorkerOnce("UkVR", true, 300); });
        const auto elapsed = Clock::now() - start;
        EXPECT_FALSE(run.ended);
        // The blocked read fails as a whole, with the bytes it had gathered.
        EXPECT_EQ(run.outcome, 0);
        EXPECT_LT(elapsed, std::chrono::seconds(2)) << "the close unblocks the worker promptly";
        EXPECT_TRUE(server.WaitUntilIdle(2000)) << "the connection was dropped";
    }
}

// The worker runs on the platform's default thread stack, which is small: its
// deepest path, a service file nested as deep as it may be, must still fit.
TEST_F(ExchangeWorkerTest, DeepestServiceFileFitsTheWorkersStack) {
    TestHttpServer server;
    server.SetScript({ReplyStep::Send(HttpResponse(200, Encode(kReply)))});
    std::string nested;
    for (int level = 2; level < 100; ++level) nested += "<a>";
    for (int level = 2; level < 100; ++level) nested += "</a>";
    WriteFile(ServiceConfigPath(), "<r><u>" + server.Url() + "</u>" + nested + "</r>");
    const WorkerRun run = RunWorkerOnce();
    EXPECT_EQ(run.outcome, 1);
    EXPECT_EQ(run.replyText, kReply);
}
