// Both operations end to end through the real NalPoiComm.dll on the real
// WinINet, run under Wine by run_wine_tests.py. The program sits in
// <tmp>\app\bin\ beside the DLL; <tmp>\app\configdat\serviceIP.xml names a
// scripted service on the Linux side. Each case points serviceIP.xml at one
// of that service's routes (the URL store holds 99 bytes, so a reply cannot
// travel in the URL: the case stages it in <tmp>\app\staged-reply.txt, which
// the service reads on each request):
//   reply               a POST with a base64 request document gets the staged document
//   no-length           the same reply without Content-Length
//   body                the staged bytes themselves as the body, with Content-Length
//   hangup              the connection closes before any response
//   redirect-302, redirect-307   a redirect to reply
//   hang/SECONDS        no reply; the connection closes after SECONDS
//   redirect-302/SCHEME/PORT/PATH   a redirect to SCHEME://127.0.0.1:PORT/PATH
//   reply-any           the staged document to any request, a GET or a POST without body too
//   seq/NAME/A.B...     the table's sequence NAME: its answers A, B, ... to the
//                       requests on this route, in order (the table's header
//                       says what each answer does)
// A request the service does not accept (not a POST, no body, a body that is
// no base64 request document) is answered 400 with an empty body, which the
// library reports as -2.
// The driver serves the same routes over TLS on more ports, one certificate
// each, named with their ports in <tmp>\app\tls-services.txt ("NAME PORT"
// lines; "plain" is the service above). It logs what every server saw in
// <tmp>\app\received.txt ("NAME connection", "NAME POST /path N" with the
// number of the connection the request came on), and leaves
// the CA that signed the trusted certificates in <tmp>\app\test-root-ca.der.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "NalPoiComm.h"
#include "../layout/record_layouts.h"
#include "../support/exchange_cases.h"
#include "../support/host_files.h"
#include "../support/record_fields.h"
#include "trusted_test_ca.h"

namespace testsupport {
void PrintTo(const ExchangeCase& c, std::ostream* out) { *out << c.name; }
void PrintTo(const ExchangeSequence& s, std::ostream* out) { *out << s.name; }
}  // namespace testsupport

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::ExchangeCase;
using testsupport::ExchangeSequence;
using testsupport::Put;

using testsupport::FileExists;
using testsupport::ReadFile;

// The install tree's root and configdat's files, as the library finds them.
std::string InstallRoot() { return testsupport::LibraryInstallDir(); }
std::string ServiceConfigPath() { return testsupport::LibraryServiceConfigPath(); }
std::string ReplyCachePath() { return testsupport::LibraryReplyCachePath(); }

void WriteFile(const std::string& path, const std::string& content) {
    ASSERT_TRUE(testsupport::WriteFile(path, content)) << path;
}

// The service's base URL, as the driver wrote it before the first case.
const std::string& ServiceBase() {
    static const std::string base = [] {
        const std::string config = ReadFile(ServiceConfigPath());
        const std::size_t begin = config.find("<ServiceUrl>");
        const std::size_t end = config.find("</ServiceUrl>");
        if (begin == std::string::npos || end == std::string::npos) return std::string();
        std::string url = config.substr(begin + 12, end - begin - 12);
        if (url.empty() || url.back() != '/') url += '/';
        return url;
    }();
    return base;
}

// The document the service answers with on its next reply routes.
std::string Staged(const std::string& document) {
    WriteFile(InstallRoot() + "\\staged-reply.txt", document);
    return document;
}

void PointAt(const std::string& url) {
    WriteFile(ServiceConfigPath(), "<?xml version=\"1.0\"?>\n<ServiceConfig><ServiceUrl>" + url +
                                       "</ServiceUrl></ServiceConfig>\n");
}

void UseRoute(const std::string& route) { PointAt(ServiceBase() + route); }

void Reply(const std::string& document) {
    Staged(document);
    UseRoute("reply");
}

__POIINFO__ Query(const char* id) {
    __POIINFO__ q;
    std::memset(&q, 0, sizeof q);
    Put(q.Type, "1");
    Put(q.Time, "2026-12-01 00:00:00");
    Put(q.ID, id);
    Put(q.Name, "Hotel");
    return q;
}

__POIINFO2__ BatchQuery(const char* time) {
    __POIINFO2__ q;
    std::memset(&q, 0, sizeof q);
    Put(q.Type, "2");
    Put(q.Time, time);
    return q;
}

// A record as a host might pass it in: full of old bytes.
__POICONTENT__ UsedContent() {
    __POICONTENT__ c;
    std::memset(&c, 0xAB, sizeof c);
    c.Con = nullptr;
    return c;
}

bool SameBytes(const void* a, const void* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }

// Wine's ntdll exports wine_get_version; native Windows' does not.
bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int UpdateResult(const std::string& route) {
    UseRoute(route);
    __POIINFO__ q = Query("P-1");
    __POICONTENT__ c = UsedContent();
    const int result = SendUpdateRequest(q, c);
    std::free(c.Con);
    return result;
}

const char kFullUpdate[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Poi><Status>1</Status><Tel>020-5555</Tel><Addr>1 Harbour Road</Addr>"
    "<Time>2026-12-08 10:00:00</Time><Con>Sea view &amp; breakfast</Con>"
    "<Pri><P><Name>Double room</Name><Mark>A</Mark><Agr>120</Agr><Bref>B&amp;B</Bref></P>"
    "<P><Name>Single room</Name><Agr>80</Agr></P></Pri></Poi>";

// A field's offset as hosts compile against it (the pinned table), not as
// this program's compiler places it.
unsigned long PinnedOffset(const char* record, const char* field) {
    struct Row {
        const char *record, *field;
        unsigned long offset;
    };
#define NALPOI_PINNED_ROW(record, field, narrow, wide, type) \
    {#record, #field, nalpoi_layout::Pick(narrow, wide)},
    static const Row rows[] = {NALPOI_RECORD_FIELDS(NALPOI_PINNED_ROW)};
    for (const Row& row : rows) {
        if (std::strcmp(row.record, record) == 0 && std::strcmp(row.field, field) == 0) return row.offset;
    }
    ADD_FAILURE() << record << "::" << field << " is not pinned";
    return 0;
}

const char* At(const void* record, const char* type, const char* field) {
    return static_cast<const char*>(record) + PinnedOffset(type, field);
}

char* PointerAt(const void* record, const char* type, const char* field) {
    char* pointer = nullptr;
    std::memcpy(&pointer, At(record, type, field), sizeof pointer);
    return pointer;
}

const TrustedTestCa* TestCa = nullptr;  // added to ROOT by main before any TLS call

// The port of one of the driver's servers, from tls-services.txt.
std::string Port(const std::string& server) {
    std::istringstream lines(ReadFile(InstallRoot() + "\\tls-services.txt"));
    std::string name, port;
    while (lines >> name >> port) {
        if (name == server) return port;
    }
    ADD_FAILURE() << "the driver names no server " << server;
    return "1";
}

// The lines a server of the driver has logged so far, and how many of them
// are requests it read (the rest are connections it accepted).
struct Seen {
    int lines = 0;
    int requests = 0;
};

Seen SeenBy(const std::string& server) {
    std::istringstream log(ReadFile(InstallRoot() + "\\received.txt"));
    Seen seen;
    for (std::string line; std::getline(log, line);) {
        if (line.compare(0, server.size() + 1, server + " ") != 0) continue;
        ++seen.lines;
        if (line != server + " connection") ++seen.requests;
    }
    return seen;
}

class WindowsExchange : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(ServiceBase().empty()) << "serviceIP.xml names no service";
        DeleteFileA(ReplyCachePath().c_str());
    }
};

}  // namespace

// What the DLL writes, read back by the pinned offsets alone: a DLL built
// with other packing than its hosts would fail here.
TEST_F(WindowsExchange, TheDllWritesEveryFieldAtItsPinnedOffset) {
    Reply(kFullUpdate);
    __POIINFO__ q = Query("P-1");
    __POICONTENT__ c = UsedContent();
    ASSERT_EQ(SendUpdateRequest(q, c), 1);
    EXPECT_STREQ(At(&c, "__POICONTENT__", "Tel"), "020-5555");
    EXPECT_STREQ(At(&c, "__POICONTENT__", "Addr"), "1 Harbour Road");
    EXPECT_STREQ(At(&c, "__POICONTENT__", "Time"), "2026-12-08 10:00:00");
    const char* second = At(&c, "__POICONTENT__", "Pri") + sizeof(__PRIITEM__);
    EXPECT_STREQ(At(second, "__PRIITEM__", "Agr"), "80");
    EXPECT_STREQ(PointerAt(&c, "__POICONTENT__", "Con"), "Sea view & breakfast");
    EXPECT_TRUE(SameBytes(At(&c, "__POICONTENT__", "Reserved"), "\0\0\0\0", 4));
    std::free(c.Con);

    Reply("<Bat><NumA Add=\"1\"><H><ID>A1</ID><Tel>7</Tel><Con>c</Con><Addr>Quay</Addr>"
          "<HN>Alpha</HN><Pri><x><Name>n</Name><Bref>b</Bref></x></Pri></H></NumA>"
          "<NumD Del=\"1\"><H><ID>D1</ID><HN>Gone</HN></H></NumD>"
          "<Time>2026-12-08 11:00:00</Time><Status>1</Status></Bat>");
    __POIINFO2__ batch = BatchQuery("2026-12-01 00:00:00");
    std::vector<__ADDHOTEL__> added;
    std::vector<__DELHOTEL__> deleted;
    std::vector<__UPDHOTEL__> updated;
    __HOTELNUM__ counts{};
    ASSERT_EQ(RevBatch(batch, added, deleted, updated, counts), 1);
    ASSERT_EQ(added.size(), 1u);
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_STREQ(At(&added[0], "__ADDHOTEL__", "ID"), "A1");
    EXPECT_STREQ(At(&added[0], "__ADDHOTEL__", "Tel"), "7");
    EXPECT_STREQ(PointerAt(&added[0], "__ADDHOTEL__", "Con"), "c");
    EXPECT_STREQ(At(&added[0], "__ADDHOTEL__", "Addr"), "Quay");
    EXPECT_STREQ(At(&added[0], "__ADDHOTEL__", "HN"), "Alpha");
    EXPECT_STREQ(At(At(&added[0], "__ADDHOTEL__", "Pri"), "__PRIITEM__", "Bref"), "b");
    EXPECT_STREQ(At(&deleted[0], "__DELHOTEL__", "HN"), "Gone");
    EXPECT_EQ(*reinterpret_cast<const int*>(At(&counts, "__HOTELNUM__", "NumD")), 1);
    EXPECT_STREQ(At(&batch, "__POIINFO2__", "Time"), "2026-12-08 11:00:00");
    std::free(added[0].Con);
}

namespace {

// The cases of tests/cases/exchanges.txt (copied into the install tree by
// the driver), each through the scripted service's routes.
void Serve(const ExchangeCase& c) {
    DeleteFileA(ReplyCachePath().c_str());
    Staged(c.document);
    if (c.answer == "reply" || c.answer == "no-length" || c.answer == "body" || c.answer == "hangup") {
        UseRoute(c.answer);
    } else if (c.answer == "refused") {
        PointAt("http://127.0.0.1:1/poi");
    } else if (c.answer == "no-config") {
        DeleteFileA(ServiceConfigPath().c_str());
    } else {
        ADD_FAILURE() << "no such answer: " << c.answer;
    }
}

std::string TableError;

std::vector<ExchangeCase> Table() {
    return testsupport::ReadExchangeCases(InstallRoot() + "\\exchanges.txt", TableError);
}

class WindowsExchangeCase : public WindowsExchange, public ::testing::WithParamInterface<ExchangeCase> {};

TEST(WindowsExchangeCaseTable, IsReadWhole) {
    EXPECT_EQ(TableError, "");
    EXPECT_GE(Table().size(), 10u);
}

TEST_P(WindowsExchangeCase, Runs) {
    const ExchangeCase& c = GetParam();
    for (const std::string& difference : testsupport::RunExchangeCase(c, Serve)) {
        ADD_FAILURE() << difference;
    }
    // Windows writes the print in text mode (CR LF): its bytes are the
    // differential test's to compare.
    EXPECT_EQ(FileExists(ReplyCachePath()), c.cachePrinted);
}

INSTANTIATE_TEST_SUITE_P(Table, WindowsExchangeCase, ::testing::ValuesIn(Table()),
                         [](const auto& info) { return info.param.name; });

// The table's call sequences: what WinINet keeps between calls.
class WindowsExchangeSequence : public WindowsExchange,
                                public ::testing::WithParamInterface<ExchangeSequence> {};

// The connection of each request the service logged for `path`.
std::vector<int> ConnectionsOf(const std::string& path) {
    std::istringstream log(ReadFile(InstallRoot() + "\\received.txt"));
    std::vector<int> connections;
    for (std::string server, method, logged; log >> server >> method;) {
        int connection = 0;
        if (method != "connection" && log >> logged >> connection && logged == path) {
            connections.push_back(connection);
        }
    }
    return connections;
}

TEST_P(WindowsExchangeSequence, Runs) {
    const ExchangeSequence& s = GetParam();
    std::string route = "seq/" + s.name + "/";
    for (const std::string& answer : s.answers) route += answer + (&answer == &s.answers.back() ? "" : ".");
    UseRoute(route);
    ASSERT_LT((ServiceBase() + route).size(), 100u);
    const auto seen = [&] { return ConnectionsOf("/" + route); };
    for (const std::string& difference : testsupport::RunExchangeSequence(s, seen, RunningUnderWine())) {
        ADD_FAILURE() << difference;
    }
}

std::vector<ExchangeSequence> Sequences() {
    return testsupport::ReadExchangeSequences(InstallRoot() + "\\exchanges.txt", TableError);
}

INSTANTIATE_TEST_SUITE_P(Table, WindowsExchangeSequence, ::testing::ValuesIn(Sequences()),
                         [](const auto& info) { return info.param.name; });

}  // namespace

// WinINet follows redirects itself. A 302 turns the POST into a GET without
// a body on every platform, which the service refuses.
TEST_F(WindowsExchange, RedirectOf302IsResentAsGetAndRefused) {
    Staged("<r><Tel>1</Tel></r>");
    EXPECT_EQ(UpdateResult("reply"), 1) << "the same reply without the redirect";
    EXPECT_EQ(UpdateResult("redirect-302"), -2);
}

// PLATFORM DIFFERENCE. A 307 keeps the verb. The POSIX layer (like native
// WinINet) re-sends the POST with its body, and the exchange succeeds there
// with 1. Wine 8.0's WinINet re-sends it as a POST with no body and no
// Content-Length, which the service refuses: -2 under Wine.
TEST_F(WindowsExchange, RedirectOf307KeepsTheBodyExceptUnderWine) {
    Staged("<r><Tel>1</Tel></r>");
    EXPECT_EQ(UpdateResult("reply"), 1) << "the same reply without the redirect";
    EXPECT_EQ(UpdateResult("redirect-307"), RunningUnderWine() ? -2 : 1);
}

// An https URL is spoken to over TLS with the peer verified, and follows no
// redirect; an http URL follows a redirect to https and verifies that hop.
// `server` is the one whose log a row checks: whether the call reached it at
// all, and how many requests it read. The trusted certificates name
// 127.0.0.1 both as an IP address and as a DNS name.
// PLATFORM DIFFERENCE. A certificate that names 127.0.0.1 only as an IP
// address ("ip-only") matches an https URL to 127.0.0.1 on the POSIX layer
// (OpenSSL, as RFC 2818, 3.1 asks); Wine 8's crypt32 compares the host only
// with the DNS names of the certificate (dlls/crypt32/chain.c,
// match_dns_to_subject_alt_name), so Wine refuses it: -2, and no request.
TEST_F(WindowsExchange, HttpsReachesOnlyAVerifiedPeer) {
    ASSERT_TRUE(TestCa->Trusted()) << "test-root-ca.der was not added to the ROOT store";
    const bool wine = RunningUnderWine();
    const auto url = [](const char* scheme, const char* server, const std::string& route) {
        return std::string(scheme) + "://127.0.0.1:" + Port(server) + "/" + route;
    };
    const struct {
        const char* what;
        std::string url;
        int result;
        const char* server;
        bool reached;
        int requests;
    } cases[] = {
        {"trusted, by IP address", url("https", "good", "reply"), 1, "good", true, 1},
        {"trusted, an IP address entry only", url("https", "ip-only", "reply"), wine ? -2 : 1, "ip-only", true,
         wine ? 0 : 1},
        {"untrusted issuer", url("https", "untrusted", "reply"), -2, "untrusted", true, 0},
        {"wrong name", url("https", "wrong-name", "reply"), -2, "wrong-name", true, 0},
        {"expired", url("https", "expired", "reply"), -2, "expired", true, 0},
        {"plain server behind https", url("https", "plain", "reply"), -2, "plain", true, 0},
        {"TLS server behind http", url("http", "good", "reply"), -2, "good", true, 0},
        {"https to http redirect", url("https", "good", "redirect-302/http/" + Port("plain") + "/reply-any"),
         -2, "plain", false, 0},
        {"http to https redirect", url("http", "plain", "redirect-302/https/" + Port("good") + "/reply-any"),
         1, "good", true, 1},
        {"http to https redirect, untrusted",
         url("http", "plain", "redirect-302/https/" + Port("untrusted") + "/reply-any"), -2, "untrusted",
         true, 0},
    };
    Staged("<r><Tel>443</Tel></r>");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_LT(c.url.size(), 100u) << c.url;
        PointAt(c.url);
        const Seen before = SeenBy(c.server);
        __POIINFO__ q = Query("P-1");
        __POICONTENT__ content = UsedContent();
        const __POICONTENT__ untouched = content;
        EXPECT_EQ(SendUpdateRequest(q, content), c.result);
        if (c.result == 1) {
            EXPECT_STREQ(content.Tel, "443");
        } else {
            EXPECT_TRUE(SameBytes(&content, &untouched, sizeof content));
        }
        std::free(content.Con);
        const Seen after = SeenBy(c.server);
        EXPECT_EQ(after.lines > before.lines, c.reached) << c.server;
        EXPECT_EQ(after.requests - before.requests, c.requests) << c.server;
    }
}

// PLATFORM DIFFERENCE. The 20000 ms limit ends the call with -9 on every
// platform. On the POSIX layer closing the session aborts the blocked
// transfer, so -9 comes back at the limit. Wine's WinINet does not unblock a
// call when its session is closed: the worker is released only when the
// service drops the connection (here 24 s after the request), and -9 comes
// back then, later than the limit.
TEST_F(WindowsExchange, UpdateTimeLimitGivesMinus9) {
    const int dropAfterSeconds = 24;
    const auto start = Clock::now();
    __POIINFO__ q = Query("P-1");
    __POICONTENT__ c = UsedContent();
    const __POICONTENT__ before = c;
    UseRoute("hang/" + std::to_string(dropAfterSeconds));
    EXPECT_EQ(SendUpdateRequest(q, c), -9);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(20000)) << "not before the limit";
    EXPECT_LT(elapsed, std::chrono::seconds(dropAfterSeconds + 10)) << "soon after the drop";
    if (RunningUnderWine()) {
        EXPECT_GE(elapsed, std::chrono::seconds(dropAfterSeconds - 1))
            << "Wine released the blocked call before the service dropped it";
    }
    EXPECT_TRUE(SameBytes(&c, &before, sizeof c));

    // The library is usable again at once.
    Reply("<r><Tel>1</Tel></r>");
    EXPECT_EQ(UpdateResult("reply"), 1);
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (ServiceBase().empty()) {
        std::fprintf(stderr, "%s names no service URL\n", ServiceConfigPath().c_str());
        return 2;
    }
    const TrustedTestCa testCa(InstallRoot() + "\\test-root-ca.der");
    TestCa = &testCa;
    return RUN_ALL_TESTS();
}
