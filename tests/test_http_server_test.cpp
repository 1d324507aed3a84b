#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "support/test_http_server.h"

using testsupport::HttpResponse;
using testsupport::HttpResponseWithLength;
using testsupport::ReplyStep;
using testsupport::TestHttpServer;

namespace {

// Blocking client socket on 127.0.0.1:port, or -1 with errno set. Reads give
// up after 5 s so a faulty server fails the test instead of hanging it.
int ConnectTo(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
}

void SendText(int fd, const std::string& text) {
    ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Everything until the server closes; `error` gets errno when the read failed.
std::string ReadToEnd(int fd, int* error = nullptr, std::size_t atMost = SIZE_MAX) {
    std::string received;
    char chunk[4096];
    while (received.size() < atMost) {
        const ssize_t got = recv(fd, chunk, std::min(sizeof chunk, atMost - received.size()), 0);
        if (got < 0 && error != nullptr) *error = errno;
        if (got <= 0) break;
        received.append(chunk, static_cast<std::size_t>(got));
    }
    return received;
}

std::string Exchange(std::uint16_t port, const std::string& request) {
    const int fd = ConnectTo(port);
    SendText(fd, request);
    std::string reply = ReadToEnd(fd);
    close(fd);
    return reply;
}

std::string Post(const std::string& target, const std::string& body) {
    return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

TEST(TestHttpServerExchange, RecordsTheRequestAndWritesScriptBytesExactly) {
    TestHttpServer server;
    server.SetScript({ReplyStep::Send("HTTP/1.1 200 OK\r\n"), ReplyStep::Sleep(30),
                      ReplyStep::Send("Content-Length: 2\r\n\r\nok")});
    const std::string head =
        "POST /poi?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\ncontent-TYPE:  text/xml \r\nContent-Length: 9\r\n\r\n";
    const int fd = ConnectTo(server.Port());
    SendText(fd, head + "<a>");  // the body arrives in two pieces
    SendText(fd, "</a>\r\n");
    EXPECT_EQ(ReadToEnd(fd), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    close(fd);

    ASSERT_EQ(server.Requests().size(), 1u);
    const auto request = server.Requests()[0];
    EXPECT_EQ(request.requestLine, "POST /poi?x=1 HTTP/1.1");
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/poi?x=1");
    EXPECT_EQ(request.head, head);
    EXPECT_EQ(request.body, "<a></a>\r\n");
    EXPECT_TRUE(request.complete);
    ASSERT_EQ(request.headers.size(), 3u);
    EXPECT_EQ(request.headers[1].first, "content-TYPE");
    EXPECT_EQ(request.Header("Content-Type"), "text/xml");
    EXPECT_FALSE(request.HasHeader("Accept"));
    EXPECT_EQ(server.Url(), "http://127.0.0.1:" + std::to_string(server.Port()) + "/poi");
}

TEST(TestHttpServerExchange, BodyShorterThanItsLengthIsRecordedAndGetsNoReply) {
    TestHttpServer server;
    server.SetScript({ReplyStep::Send(HttpResponse(200, "ok"))});
    const int fd = ConnectTo(server.Port());
    SendText(fd, "POST /poi HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(ReadToEnd(fd), "");
    close(fd);
    ASSERT_TRUE(server.WaitForRequests(1, 2000));
    EXPECT_EQ(server.Requests()[0].body, "abc");
    EXPECT_FALSE(server.Requests()[0].complete);
}

TEST(TestHttpServerScripts, RouterFirstThenQueuedOnceThenDefault) {
    TestHttpServer server;
    server.SetScript({ReplyStep::Send("default")});
    server.QueueScript({ReplyStep::Send("queued 1")});
    server.QueueScript({ReplyStep::Send("queued 2")});
    server.SetRouter([](const testsupport::RecordedRequest& request) {
        if (request.target != "/routed") return std::optional<testsupport::ReplyScript>();
        return std::optional(testsupport::ReplyScript{ReplyStep::Send("routed")});
    });
    const struct { const char* target; const char* reply; } cases[] = {
        {"/poi", "queued 1"}, {"/routed", "routed"}, {"/poi", "queued 2"},
        {"/poi", "default"},  {"/poi", "default"},
    };
    for (const auto& c : cases) EXPECT_EQ(Exchange(server.Port(), Post(c.target, "x")), c.reply) << c.target;
    EXPECT_EQ(server.Requests().size(), 5u);
}

TEST(TestHttpServerScripts, ResetAbortsTheConnection) {
    TestHttpServer server;
    server.SetScript({ReplyStep::Reset()});
    const int fd = ConnectTo(server.Port());
    SendText(fd, Post("/poi", ""));
    int error = 0;
    ReadToEnd(fd, &error);
    close(fd);
    EXPECT_EQ(error, ECONNRESET);
}

TEST(TestHttpServerHang, EndsWhenTheClientCloses) {
    TestHttpServer server;
    const std::string statusLine = "HTTP/1.1 200 OK\r\n";
    server.SetScript({ReplyStep::Send(statusLine), ReplyStep::Hang()});
    const int fd = ConnectTo(server.Port());
    SendText(fd, Post("/poi", "body"));
    EXPECT_EQ(ReadToEnd(fd, nullptr, statusLine.size()), statusLine);
    ASSERT_TRUE(server.WaitForRequests(1, 2000));
    EXPECT_EQ(server.Requests()[0].body, "body");
    EXPECT_EQ(server.OpenConnections(), 1u);
    close(fd);
    EXPECT_TRUE(server.WaitUntilIdle(2000));
}

TEST(TestHttpServerStop, WakesSleepsAndHangsAndClosesTheClient) {
    const testsupport::ReplyScript scripts[] = {{ReplyStep::Sleep(60000)}, {ReplyStep::Hang()}};
    for (const auto& script : scripts) {
        auto server = std::make_unique<TestHttpServer>();
        server->SetScript(script);
        const int fd = ConnectTo(server->Port());
        SendText(fd, Post("/poi", ""));
        ASSERT_TRUE(server->WaitForRequests(1, 2000));
        const auto start = std::chrono::steady_clock::now();
        server.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        int error = 0;
        EXPECT_EQ(ReadToEnd(fd, &error), "");
        EXPECT_EQ(error, 0);  // a clean close, not the read timeout
        close(fd);
    }
}

TEST(TestHttpServerBuilders, ExactResponseBytes) {
    const struct { std::string built, expected; } cases[] = {
        {HttpResponse(200, "abc"), "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc"},
        {HttpResponse(302, "", {"Location: /next"}),
         "HTTP/1.1 302 Found\r\nContent-Length: 0\r\nConnection: close\r\nLocation: /next\r\n\r\n"},
        {HttpResponseWithLength(200, "ab", std::string("99")),
         "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nConnection: close\r\n\r\nab"},
        {HttpResponseWithLength(500, "ab", std::nullopt),
         "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\n\r\nab"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.built, c.expected);
}

TEST(TestHttpServerUnusedPort, RefusesConnections) {
    EXPECT_EQ(ConnectTo(testsupport::UnusedLoopbackPort()), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
}
