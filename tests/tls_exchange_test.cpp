// https end to end: TLS with a verified peer, certificates made when the
// tests run, trusted through SSL_CERT_FILE; every TLS failure gives -2 with
// the record untouched, and no request ever reaches a server in clear text
// from an https URL, directly or by a redirect.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "NalPoiComm.h"
#include "platform/win32_api.h"
#include "support/install_tree.h"
#include "support/replies.h"
#include "support/test_certificates.h"
#include "support/test_http_server.h"
#include "support/tls_front.h"

using namespace testsupport;

namespace {

const char kReply[] = "<Poi><Status>1</Status><Tel>020-443</Tel><Con>private</Con></Poi>";

struct UpdateOutcome {
    int result;
    std::string tel;
    bool untouched;  // the record exactly as it was passed in
};

UpdateOutcome Update(const std::string& url) {
    WriteServiceConfig(url);
    __POIINFO__ query{};
    std::strcpy(query.ID, "H-1001");
    __POICONTENT__ content;
    std::memset(&content, 0xAB, sizeof content);
    content.Con = nullptr;
    const __POICONTENT__ before = content;
    const int result = SendUpdateRequest(query, content);
    const bool untouched = std::memcmp(&content, &before, sizeof content) == 0;
    std::string tel = untouched ? "" : content.Tel;
    std::free(content.Con);
    return {result, tel, untouched};
}

// The platform layer's own error for a POST to https://`host`:`port`/poi
// (ERROR_SUCCESS when it is answered).
DWORD SecurePostError(const std::string& host, std::uint16_t port) {
    HINTERNET session = InternetOpenW(u"RuzOruz", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    const std::u16string wideHost(host.begin(), host.end());
    HINTERNET connection = InternetConnectW(session, wideHost.c_str(), port, u"", u"",
                                            INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestW(connection, u"POST", u"/poi", nullptr, nullptr, nullptr,
                                         INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_AUTO_REDIRECT, 0);
    INTERNET_BUFFERS buffers{};
    buffers.dwStructSize = sizeof buffers;
    buffers.dwBufferTotal = 2;
    DWORD written = 0;
    const bool sent = HttpSendRequestExW(request, &buffers, nullptr, 0, 0) &&
                      InternetWriteFile(request, "hi", 2, &written) &&
                      HttpEndRequestW(request, nullptr, 0, 0);
    const DWORD error = sent ? ERROR_SUCCESS : GetLastError();
    InternetCloseHandle(session);
    return error;
}

bool WaitUntilListening(std::uint16_t port) {
    for (int tries = 0; tries < 100; ++tries) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (up) return true;
        usleep(50000);
    }
    return false;
}

class TlsExchangeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        trusted_ = new TestCertificateAuthority("NalPoi test CA");
        other_ = new TestCertificateAuthority("Some other CA");
        const char* was = std::getenv("SSL_CERT_FILE");
        previous_ = was != nullptr ? new std::string(was) : nullptr;
        setenv("SSL_CERT_FILE", trusted_->CaFile().c_str(), 1);
    }
    static void TearDownTestSuite() {
        if (previous_ != nullptr) {
            setenv("SSL_CERT_FILE", previous_->c_str(), 1);
        } else {
            unsetenv("SSL_CERT_FILE");
        }
        delete previous_;
        delete trusted_;
        delete other_;
    }
    void SetUp() override { service.SetScript(AnswerWith(kReply)); }

    static TestCertificateAuthority* trusted_;
    static TestCertificateAuthority* other_;
    static std::string* previous_;  // the environment's own SSL_CERT_FILE
    TestHttpServer service;  // behind every TLS front
};
TestCertificateAuthority* TlsExchangeTest::trusted_ = nullptr;
TestCertificateAuthority* TlsExchangeTest::other_ = nullptr;
std::string* TlsExchangeTest::previous_ = nullptr;

TEST_F(TlsExchangeTest, OnlyAVerifiedPeerGetsTheRequest) {
    const struct {
        const char* what;
        std::function<CertificateFiles()> certificate;
        const char* host;
        int result;
        DWORD error;  // the platform layer's, as WinINet names it
    } cases[] = {
        {"trusted, by IP address", [] { return trusted_->Issue("IP:127.0.0.1"); }, "127.0.0.1", 1,
         ERROR_SUCCESS},
        {"trusted, by host name", [] { return trusted_->Issue("DNS:localhost"); }, "localhost", 1,
         ERROR_SUCCESS},
        {"untrusted issuer", [] { return other_->Issue("IP:127.0.0.1"); }, "127.0.0.1", -2,
         ERROR_INTERNET_INVALID_CA},
        {"wrong name", [] { return trusted_->Issue("DNS:elsewhere.test,IP:127.0.0.2"); },
         "127.0.0.1", -2, ERROR_INTERNET_SEC_CERT_CN_INVALID},
        {"host name not in the certificate", [] { return trusted_->Issue("IP:127.0.0.1"); },
         "localhost", -2, ERROR_INTERNET_SEC_CERT_CN_INVALID},
        {"expired", [] { return trusted_->Issue("IP:127.0.0.1", -30, -1); }, "127.0.0.1", -2,
         ERROR_INTERNET_SEC_CERT_DATE_INVALID},
        {"not yet valid", [] { return trusted_->Issue("IP:127.0.0.1", 1, 30); }, "127.0.0.1", -2,
         ERROR_INTERNET_SEC_CERT_DATE_INVALID},
    };
    for (const auto& c : cases) {
        TlsFront front(service.Port(), c.certificate());
        EXPECT_EQ(SecurePostError(c.host, front.Port()), c.error) << c.what;
        const std::size_t before = service.Requests().size();
        const UpdateOutcome outcome = Update(front.Url(c.host));
        EXPECT_EQ(outcome.result, c.result) << c.what;
        if (c.result == 1) {
            EXPECT_EQ(outcome.tel, "020-443") << c.what;
            EXPECT_EQ(service.Requests().size(), before + 1) << c.what;
        } else {
            EXPECT_TRUE(outcome.untouched) << c.what;
            EXPECT_EQ(service.Requests().size(), before) << c.what << ": no request sent";
        }
    }
}

TEST_F(TlsExchangeTest, NothingGoesOutInClearTextFromAnHttpsUrl) {
    // A plain web server behind an https URL sees a ClientHello, never the POST.
    TlsFront plain(0, std::nullopt);
    EXPECT_EQ(Update(plain.Url()).result, -2);
    const std::string seen = plain.Received();
    EXPECT_FALSE(seen.empty());
    EXPECT_EQ(seen.find("POST"), std::string::npos);
    EXPECT_EQ(seen.find("RuzOruz"), std::string::npos);

    // No redirect from https is followed: not to http, and so not to https either.
    TestHttpServer target;
    target.SetScript(AnswerWith(kReply));
    TlsFront secureTarget(target.Port(), trusted_->Issue("IP:127.0.0.1"));
    for (const std::string& location : {target.Url(), secureTarget.Url()}) {
        for (int status : {302, 307}) {
            service.QueueScript({ReplyStep::Send(HttpResponse(status, "", {"Location: " + location}))});
            TlsFront front(service.Port(), trusted_->Issue("IP:127.0.0.1"));
            const UpdateOutcome outcome = Update(front.Url());
            EXPECT_EQ(outcome.result, -2) << status << " to " << location;
            EXPECT_TRUE(outcome.untouched);
        }
    }
    EXPECT_EQ(target.Connections(), 0u) << "the redirect targets were never reached";
}

TEST_F(TlsExchangeTest, HttpUrlToATlsServerFailsAndHttpToHttpsRedirectIsVerified) {
    TlsFront front(service.Port(), trusted_->Issue("IP:127.0.0.1"));
    std::string clear = front.Url();
    clear.replace(0, 5, "http");
    EXPECT_EQ(Update(clear).result, -2) << "a TLS server behind an http URL";

    // WinINet follows http to https; the https hop is verified like any other.
    TlsFront untrusted(service.Port(), other_->Issue("IP:127.0.0.1"));
    for (const TlsFront* to : {&front, &untrusted}) {
        TestHttpServer redirector;
        redirector.SetScript({ReplyStep::Send(HttpResponse(307, "", {"Location: " + to->Url()}))});
        EXPECT_EQ(Update(redirector.Url()).result, to == &front ? 1 : -2);
    }
}

// An https URL through an HTTP proxy: a CONNECT tunnel from https_proxy, the
// end server verified the same way. tinyproxy is the real proxy.
TEST_F(TlsExchangeTest, ThroughAnHttpProxyTheEndServerIsVerified) {
    const std::string dir = InstallRoot() + "/tinyproxy";
    const std::uint16_t proxyPort = UnusedLoopbackPort();
    WriteFile(dir + ".conf", "Port " + std::to_string(proxyPort) +
                                 "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 10\nLogFile \"" +
                                 dir + ".log\"\nLogLevel Connect\nMaxClients 4\n");
    const pid_t proxy = fork();
    if (proxy == 0) {
        execlp("tinyproxy", "tinyproxy", "-d", "-c", (dir + ".conf").c_str(), nullptr);
        _exit(127);
    }
    ASSERT_GT(proxy, 0);
    struct Stop {
        pid_t pid;
        ~Stop() {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    } stop{proxy};
    ASSERT_TRUE(WaitUntilListening(proxyPort)) << "tinyproxy did not start";
    const std::string noProxy = std::getenv("no_proxy") != nullptr ? std::getenv("no_proxy") : "";
    unsetenv("no_proxy");
    setenv("https_proxy", ("http://127.0.0.1:" + std::to_string(proxyPort)).c_str(), 1);
    TlsFront trusted(service.Port(), trusted_->Issue("IP:127.0.0.1"));
    TlsFront untrusted(service.Port(), other_->Issue("IP:127.0.0.1"));
    const int good = Update(trusted.Url()).result;
    const int bad = Update(untrusted.Url()).result;
    unsetenv("https_proxy");
    setenv("no_proxy", noProxy.c_str(), 1);
    EXPECT_EQ(good, 1);
    EXPECT_EQ(bad, -2);
    const std::string log = ReadFile(dir + ".log");
    EXPECT_NE(log.find("CONNECT 127.0.0.1:" + std::to_string(trusted.Port())), std::string::npos)
        << log;
}

}  // namespace
