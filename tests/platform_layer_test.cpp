#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/internet_handles.h"
#include "platform/posix/thread_stacks.h"
#include "platform/win32_api.h"
#include "support/bounded_wait.h"
#include "support/test_http_server.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

// Far above any wait here, far below one read in the wrong unit.
constexpr std::chrono::milliseconds kWaitBound{5000};

struct Cracked {
    bool ok;
    DWORD error;
    std::u16string host, path;
    INTERNET_PORT port;
    INTERNET_SCHEME scheme;
};

Cracked Crack(const std::u16string& url, DWORD hostChars = 1024) {
    WCHAR host[1024] = {};
    WCHAR path[1024] = {};
    URL_COMPONENTS c;
    std::memset(&c, 0, sizeof c);
    c.dwStructSize = sizeof c;
    c.lpszHostName = host;
    c.dwHostNameLength = hostChars;
    c.lpszUrlPath = path;
    c.dwUrlPathLength = 1024;
    const BOOL ok = InternetCrackUrlW(url.c_str(), 0, 0, &c);
    return {ok == TRUE, ok ? 0 : GetLastError(), host, path, c.nPort, c.nScheme};
}

// An open request on `server`, after the request was sent.
struct Exchange {
    HINTERNET session = InternetOpenW(u"RuzOruz", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    bool sent = false;

    explicit Exchange(const TestHttpServer& server) {
        connection = InternetConnectW(session, u"127.0.0.1", server.Port(), u"", u"",
                                      INTERNET_SERVICE_HTTP, 0, 0);
        request = HttpOpenRequestW(connection, u"POST", u"/poi", nullptr, nullptr, nullptr, 0, 0);
        INTERNET_BUFFERS buffers;
        std::memset(&buffers, 0, sizeof buffers);
        buffers.dwStructSize = sizeof buffers;
        buffers.dwBufferTotal = 2;
        DWORD written = 0;
        sent = HttpSendRequestExW(request, &buffers, nullptr, 0, 0) &&
               InternetWriteFile(request, "hi", 2, &written) &&
               HttpEndRequestW(request, nullptr, 0, 0);
    }
    ~Exchange() {
        InternetCloseHandle(request);
        InternetCloseHandle(connection);
        InternetCloseHandle(session);
    }
};

}  // namespace

TEST(PlatformCrackUrl, SplitsAsWinInetDoes) {
    const struct { std::u16string url; std::u16string host, path; INTERNET_PORT port; INTERNET_SCHEME scheme; } cases[] = {
        {u"http://host/poi", u"host", u"/poi", 80, INTERNET_SCHEME_HTTP},
        {u"http://host:8080/a/b", u"host", u"/a/b", 8080, INTERNET_SCHEME_HTTP},
        {u"https://host/p", u"host", u"/p", 443, INTERNET_SCHEME_HTTPS},
        {u"http://host/p/q?x=1#frag", u"host", u"/p/q?x=1#frag", 80, INTERNET_SCHEME_HTTP},
        {u"HTTP://127.0.0.1:1/", u"127.0.0.1", u"/", 1, INTERNET_SCHEME_HTTP},
        {u"http://host", u"host", u"/", 80, INTERNET_SCHEME_HTTP},
    };
    for (const auto& c : cases) {
        const Cracked r = Crack(c.url);
        ASSERT_TRUE(r.ok) << std::string(c.url.begin(), c.url.end());
        EXPECT_EQ(r.host, c.host);
        EXPECT_EQ(r.path, c.path);
        EXPECT_EQ(r.port, c.port);
        EXPECT_EQ(r.scheme, c.scheme);
    }
}

TEST(PlatformCrackUrl, FailsCleanly) {
    const struct { std::u16string url; DWORD hostChars; DWORD error; } cases[] = {
        {u"no scheme", 1024, ERROR_INTERNET_UNRECOGNIZED_SCHEME},
        {u"", 1024, ERROR_INVALID_PARAMETER},
        {u"http://host:70000/", 1024, ERROR_INTERNET_INVALID_URL},  // never a truncated port
        {u"http://averylonghostname/", 8, ERROR_INSUFFICIENT_BUFFER},
    };
    for (const auto& c : cases) {
        const Cracked r = Crack(c.url, c.hostChars);
        EXPECT_FALSE(r.ok) << std::string(c.url.begin(), c.url.end());
        EXPECT_EQ(r.error, c.error) << std::string(c.url.begin(), c.url.end());
    }
}

TEST(PlatformInternet, RecordLayoutsAreWindows) {
    EXPECT_EQ(sizeof(URL_COMPONENTSW), sizeof(void*) == 8 ? 104u : 60u);
    EXPECT_EQ(sizeof(INTERNET_BUFFERSW), sizeof(void*) == 8 ? 56u : 40u);
}

TEST(PlatformInternet, ContentLengthQuery) {
    const struct { std::optional<std::string> header; bool ok; DWORD value; DWORD error; } cases[] = {
        {std::string("12"), true, 12, 0},
        {std::string("4294967295"), true, 4294967295u, 0},
        {std::string("4294967336"), false, 0, ERROR_HTTP_INVALID_HEADER},
        {std::nullopt, false, 0, ERROR_HTTP_HEADER_NOT_FOUND},
    };
    for (const auto& c : cases) {
        TestHttpServer server;
        server.SetScript({ReplyStep::Send(HttpResponseWithLength(200, "QUJD", c.header)), ReplyStep::Hang()});
        Exchange exchange(server);
        ASSERT_TRUE(exchange.sent);
        DWORD value = 7;
        DWORD size = sizeof value;
        const BOOL ok = HttpQueryInfoW(exchange.request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                                       &value, &size, nullptr);
        EXPECT_EQ(ok == TRUE, c.ok);
        if (c.ok) {
            EXPECT_EQ(value, c.value);
        } else {
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(value, 7u) << "buffer untouched on failure";
        }
    }
}

TEST(PlatformInternet, StreamsALargeBodyIntactAndEndsWithEmptyReads) {
    std::string body(3 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + (i * 7) % 26);
    TestHttpServer server;
    server.SetScript({ReplyStep::Send(HttpResponse(200, body))});
    Exchange exchange(server);
    ASSERT_TRUE(exchange.sent);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the pause buffer fill
    std::string received;
    char chunk[4096];
    DWORD n = 0;
    while (InternetReadFile(exchange.request, chunk, sizeof chunk, &n) && n > 0) received.append(chunk, n);
    EXPECT_TRUE(received == body) << received.size();
    for (int i = 0; i < 2; ++i) {
        n = 99;
        EXPECT_TRUE(InternetReadFile(exchange.request, chunk, sizeof chunk, &n));
        EXPECT_EQ(n, 0u);
    }
}

// What each 8-byte read gives, as WinINet reads a body: a read fills its
// buffer unless the body ends; the first Content-Length ends the body, even
// on a connection that stays open or carries more. A length that is no
// number is refused: WinINet reads such a body to the close, but a body
// whose end is unknown could never leave its connection for the next call.
TEST(PlatformInternet, ReadsFillTheBufferUpToTheBodysEnd) {
    // `queried`: what HttpQueryInfoW gives for Content-Length (the first header, as the body's end);
    // no reads: the response is refused.
    const struct { const char* what; ReplyScript script; DWORD queried; std::vector<std::string> reads; } cases[] = {
        {"pieces with pauses",
         {ReplyStep::Send("HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\nab"), ReplyStep::Sleep(50),
          ReplyStep::Send("cdefg"), ReplyStep::Sleep(50), ReplyStep::Send("hijkl"), ReplyStep::Hang()},
         12, {"abcdefgh", "ijkl"}},
        {"two lengths: the first holds",
         {ReplyStep::Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 40000\r\n\r\n"
                          "abcdefghi"), ReplyStep::Hang()},
         5, {"abcde"}},
        {"two lengths, the first longer",
         {ReplyStep::Send("HTTP/1.1 200 OK\r\nContent-Length: 9\r\nContent-Length: 5\r\n\r\n"
                          "abcdefghi"), ReplyStep::Hang()},
         9, {"abcdefgh", "i"}},
        {"a length that is no number: refused",
         {ReplyStep::Send("HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\nabcdefghij")},
         0, {}},
        {"chunked: the chunks decide",
         {ReplyStep::Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n"), ReplyStep::Hang()},
         2, {"abcde"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestHttpServer server;
        server.SetScript(c.script);
        Exchange exchange(server);
        ASSERT_EQ(exchange.sent, !c.reads.empty());
        if (!exchange.sent) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HTTP_INVALID_SERVER_RESPONSE));
            continue;
        }
        DWORD length = 0xFFFFFFFF;
        DWORD size = sizeof length;
        EXPECT_TRUE(HttpQueryInfoW(exchange.request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                                   &length, &size, nullptr));
        EXPECT_EQ(length, c.queried);
        std::vector<std::string> reads;
        char chunk[8];
        DWORD n = 0;
        while (InternetReadFile(exchange.request, chunk, sizeof chunk, &n) && n > 0) reads.emplace_back(chunk, n);
        EXPECT_EQ(reads, c.reads);
    }
}

TEST(PlatformInternet, ClosingASessionInvalidatesItsSubtree) {
    TestHttpServer server;
    server.SetScript({ReplyStep::Send(HttpResponse(200, "QUJD"))});
    const std::size_t before = nalpoicomm::OpenInternetHandleCount();
    HINTERNET session = InternetOpenW(u"a", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection =
        InternetConnectW(session, u"127.0.0.1", server.Port(), u"", u"", INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestW(connection, u"POST", u"/", nullptr, nullptr, nullptr, 0, 0);
    ASSERT_NE(request, nullptr);
    EXPECT_TRUE(InternetCloseHandle(session));
    EXPECT_EQ(nalpoicomm::OpenInternetHandleCount(), before);
    DWORD n = 0;
    char buffer[8];
    EXPECT_FALSE(InternetReadFile(request, buffer, sizeof buffer, &n));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(InternetCloseHandle(request));
    EXPECT_FALSE(InternetCloseHandle(connection));
    EXPECT_EQ(HttpOpenRequestW(connection, u"POST", u"/", nullptr, nullptr, nullptr, 0, 0), nullptr);
}

TEST(PlatformInternet, RefusesWhatItDoesNotOffer) {
    EXPECT_EQ(InternetOpenW(u"a", 1 /* direct */, nullptr, nullptr, 0), nullptr);
    HINTERNET session = InternetOpenW(u"a", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    EXPECT_EQ(InternetConnectW(session, u"h", 80, u"user", u"pw", INTERNET_SERVICE_HTTP, 0, 0), nullptr)
        << "credentials are never sent";
    HINTERNET connection = InternetConnectW(session, u"h", 80, u"", u"", INTERNET_SERVICE_HTTP, 0, 0);
    for (DWORD ignoreCertificateError : {0x00001000u /* CN_INVALID */, 0x00002000u /* DATE_INVALID */}) {
        EXPECT_EQ(HttpOpenRequestW(connection, u"POST", u"/", nullptr, nullptr, nullptr,
                                   INTERNET_FLAG_SECURE | ignoreCertificateError, 0),
                  nullptr)
            << "verification cannot be switched off";
    }
    EXPECT_EQ(HttpOpenRequestW(session, u"POST", u"/", nullptr, nullptr, nullptr, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    InternetCloseHandle(session);
}

TEST(PlatformThreads, WaitEndsAtTheLimitOrAtTheThreadsEnd) {
    static std::atomic<bool> release{false};
    release = false;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return 7;
        },
        nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(FinishesWithin(kWaitBound, "a 100 ms wait", [&] { return WaitForSingleObject(thread, 100); }),
              WAIT_TIMEOUT);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_LT(waited, kWaitBound);
    release = true;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
}

namespace {

std::atomic<bool> gRelease{false};
std::atomic<int> gEnded{0};

DWORD WINAPI BlockUntilReleased(LPVOID) {
    while (!gRelease) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ++gEnded;
    return 0;
}

}  // namespace

// A second waiter, with or without a limit, must see the end that the first
// waiter's join takes in.
TEST(PlatformThreads, EveryWaiterSeesTheEnd) {
    gRelease = false;
    HANDLE thread = CreateThread(nullptr, 0, BlockUntilReleased, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    DWORD first = WAIT_FAILED;
    std::thread waiter([&] { first = WaitForSingleObject(thread, INFINITE); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = Clock::now();
    EXPECT_EQ(FinishesWithin(kWaitBound, "a 30 ms wait", [&] { return WaitForSingleObject(thread, 30); }),
              WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
    gRelease = true;
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    waiter.join();
    EXPECT_EQ(first, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
}

namespace {

// The permissions of the mapping that holds `address`, as /proc/self/maps says.
std::string PermissionsAt(const void* address) {
    std::ifstream maps("/proc/self/maps");
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t from = 0, to = 0;
        char dash = 0;
        std::string permissions;
        std::istringstream fields(line);
        fields >> std::hex >> from >> dash >> to >> permissions;
        if (from <= at && at < to) return permissions;
    }
    return "unmapped";
}

}  // namespace

// Below every worker's stack lies a page that faults: an overflow must not
// write into whatever mapping lies below.
TEST(PlatformThreads, AGuardPageLiesBelowEachStack) {
    static std::string below;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            pthread_attr_t attributes;
            void* stack = nullptr;
            std::size_t size = 0;
            if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
                pthread_attr_getstack(&attributes, &stack, &size);
                pthread_attr_destroy(&attributes);
            }
            below = PermissionsAt(static_cast<char*>(stack) - 1);
            return 0;
        },
        nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(below.substr(0, 3), "---") << below;
}

// A thread whose handle is closed while it runs goes on; once it has ended,
// its stack must come back, not stay mapped for the life of the process.
TEST(PlatformThreads, ThreadsClosedWhileRunningAreReaped) {
    constexpr int kThreads = 20;
    gRelease = true;
    HANDLE warm = CreateThread(nullptr, 0, BlockUntilReleased, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(warm, INFINITE), WAIT_OBJECT_0);
    CloseHandle(warm);

    gRelease = false;
    gEnded = 0;
    for (int i = 0; i < kThreads; ++i) {
        HANDLE running = CreateThread(nullptr, 0, BlockUntilReleased, nullptr, 0, nullptr);
        ASSERT_NE(running, nullptr);
        EXPECT_TRUE(CloseHandle(running));
    }
    gRelease = true;
    while (gEnded < kThreads) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // past their last instructions
    HANDLE next = CreateThread(nullptr, 0, BlockUntilReleased, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(next, INFINITE), WAIT_OBJECT_0);
    CloseHandle(next);
    EXPECT_EQ(nalpoicomm::MappedThreadStackCount(), 1u) << "only the spare stack stays mapped";
}
