// Connections kept between calls, as WinINet keeps them: the table's call
// sequences against a real server on loopback, over TLS too, a forked child,
// the bound on idle connections and the 60 s rule.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "NalPoiComm.h"
#include "support/exchange_cases.h"
#include "support/install_tree.h"
#include "support/replies.h"
#include "support/test_certificates.h"
#include "support/test_http_server.h"
#include "support/tls_front.h"

namespace testsupport {
void PrintTo(const ExchangeSequence& s, std::ostream* out) { *out << s.name; }
}  // namespace testsupport

using namespace testsupport;

namespace {

// An answer of the table's sequences, as its header describes it.
ReplyScript Answer(const std::string& answer) {
    const std::string body = Base64(kSequenceReply);
    const auto reply = [&body](const char* status, const char* headers) {
        return std::string(status) + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
               headers + "\r\n" + body;
    };
    if (answer == "keep") return {ReplyStep::Send(reply("HTTP/1.1 200 OK", "")), ReplyStep::KeepOpen()};
    if (answer == "close") return {ReplyStep::Send(reply("HTTP/1.1 200 OK", "Connection: close\r\n"))};
    if (answer == "http10") return {ReplyStep::Send(reply("HTTP/1.0 200 OK", ""))};
    if (answer == "http10-keep") {
        return {ReplyStep::Send(reply("HTTP/1.0 200 OK", "Connection: keep-alive\r\n")), ReplyStep::KeepOpen()};
    }
    if (answer == "idle-close") return {ReplyStep::Send(reply("HTTP/1.1 200 OK", ""))};
    if (answer == "cut") {
        return {ReplyStep::Send("HTTP/1.1 200 OK\r\nContent-Length: 40000\r\n\r\n" + std::string(1000, 'A')),
                ReplyStep::Sleep(2000)};
    }
    if (answer == "oversize") {
        return {ReplyStep::Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 'A')),
                ReplyStep::KeepOpen()};
    }
    if (answer == "hang") return {ReplyStep::Hang()};
    if (answer == "drop") return {};
    if (answer == "redirect") {
        return {ReplyStep::Send("HTTP/1.1 302 Found\r\nLocation: /poi\r\nContent-Length: 5\r\n\r\nmoved"),
                ReplyStep::KeepOpen()};
    }
    ADD_FAILURE() << "no such answer: " << answer;
    return {};
}

std::vector<int> Seen(const TestHttpServer& server) {
    std::vector<int> connections;
    for (const RecordedRequest& request : server.Requests()) {
        connections.push_back(static_cast<int>(request.connection));
    }
    return connections;
}

int Update() {
    __POIINFO__ query{};
    std::strcpy(query.ID, "P-1");
    __POICONTENT__ content{};
    const int result = SendUpdateRequest(query, content);
    std::free(content.Con);
    return result;
}

std::string TableError;

std::vector<ExchangeSequence> Sequences(bool slow) {
    std::vector<ExchangeSequence> chosen;
    for (ExchangeSequence& s : ReadExchangeSequences(NALPOI_CASE_TABLE, TableError)) {
        if (s.Slow() == slow) chosen.push_back(std::move(s));
    }
    return chosen;
}

class ConnectionReuse : public ::testing::TestWithParam<ExchangeSequence> {};

TEST(ConnectionReuseTable, IsReadWhole) {
    EXPECT_EQ(TableError, "");
    EXPECT_GE(Sequences(false).size() + Sequences(true).size(), 8u);
}

TEST_P(ConnectionReuse, Runs) {
    TestHttpServer server;
    for (const std::string& answer : GetParam().answers) server.QueueScript(Answer(answer));
    WriteServiceConfig(server.Url());
    for (const std::string& difference : RunExchangeSequence(GetParam(), [&] { return Seen(server); })) {
        ADD_FAILURE() << difference;
    }
}

const auto kName = [](const auto& info) { return info.param.name; };
INSTANTIATE_TEST_SUITE_P(Table, ConnectionReuse, ::testing::ValuesIn(Sequences(false)), kName);
INSTANTIATE_TEST_SUITE_P(SlowTable, ConnectionReuse, ::testing::ValuesIn(Sequences(true)), kName);

// Over TLS a kept connection makes no handshake, and a new connection to a
// server seen before resumes the session the first one made.
TEST(ConnectionPool, KeepsTlsConnectionsAndResumesSessions) {
    TestCertificateAuthority authority("pool CA");
    TestHttpServer server;
    TlsFront front(server.Port(), authority.Issue("IP:127.0.0.1"));
    for (const char* answer : {"keep", "idle-close", "keep"}) server.QueueScript(Answer(answer));
    setenv("SSL_CERT_FILE", authority.CaFile().c_str(), 1);
    WriteServiceConfig(front.Url());
    EXPECT_EQ(Update(), 1);
    EXPECT_EQ(Update(), 1);
    EXPECT_EQ(Update(), 1);
    unsetenv("SSL_CERT_FILE");
    EXPECT_EQ(Seen(server), (std::vector<int>{1, 1, 2}));
    EXPECT_EQ(front.ResumedHandshakes(), 1u);
}

// A forked child never touches its parent's kept connection: it opens its
// own, and the parent's next call still finds its connection intact.
TEST(ConnectionPool, AForkedChildOpensItsOwnConnection) {
    TestHttpServer server;
    server.SetScript(Answer("keep"));
    WriteServiceConfig(server.Url());
    ASSERT_EQ(Update(), 1);
    const pid_t child = fork();
    if (child == 0) _exit(Update() == 1 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Update(), 1);
    EXPECT_EQ(Seen(server), (std::vector<int>{1, 2, 1}));
}

// Idle connections are bounded: one per server, four in all, the oldest
// closed to make room.
TEST(ConnectionPool, KeepsAtMostFourIdleConnections) {
    std::vector<std::unique_ptr<TestHttpServer>> servers;
    for (int i = 0; i < 5; ++i) {
        servers.push_back(std::make_unique<TestHttpServer>());
        servers.back()->SetScript(Answer("keep"));
        WriteServiceConfig(servers.back()->Url());
        ASSERT_EQ(Update(), 1);
        ASSERT_EQ(Update(), 1);
        EXPECT_EQ(Seen(*servers.back()), (std::vector<int>{1, 1}));
    }
    EXPECT_TRUE(servers.front()->WaitUntilIdle(2000)) << "the oldest was closed";
    for (int i = 1; i < 5; ++i) EXPECT_EQ(servers[i]->OpenConnections(), 1u) << i;
}

// WinINet's 60 s: a connection idle that long is closed by the next call,
// which opens another.
TEST(SlowConnectionPool, AConnectionIdleFor60SecondsIsNotReused) {
    TestHttpServer server;
    server.SetScript(Answer("keep"));
    WriteServiceConfig(server.Url());
    ASSERT_EQ(Update(), 1);
    std::this_thread::sleep_for(std::chrono::seconds(61));
    ASSERT_EQ(Update(), 1);
    EXPECT_EQ(Seen(server), (std::vector<int>{1, 2}));
    for (int i = 0; i < 100 && server.OpenConnections() != 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(server.OpenConnections(), 1u) << "the first connection was closed";
}

}  // namespace
