// A TLS front for TestHttpServer: it accepts TLS on 127.0.0.1 with a given
// certificate and relays the plain bytes to the test server and back, so any
// reply script plays over TLS; a reset from behind resets the TLS connection
// too. Without a certificate it is a plain web server in front of nothing:
// it answers whatever arrives with a 400, as one would a TLS ClientHello, and
// keeps what it was sent.
#ifndef NALPOICOMM_TESTS_SUPPORT_TLS_FRONT_H
#define NALPOICOMM_TESTS_SUPPORT_TLS_FRONT_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "support/test_certificates.h"

namespace testsupport {

class TlsFront {
public:
    // TLS in front of 127.0.0.1:`backendPort`, or the plain answerer when
    // `certificate` is empty.
    TlsFront(std::uint16_t backendPort, std::optional<CertificateFiles> certificate);
    ~TlsFront();  // stops every connection at once and joins its threads
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;

    std::uint16_t Port() const { return port_; }
    std::string Url(const std::string& host = "127.0.0.1", const std::string& path = "/poi") const;
    std::string Received() const;      // the plain answerer's bytes, all connections
    std::size_t ResumedHandshakes() const;  // TLS handshakes that resumed an earlier session

private:
    struct Context;
    void AcceptLoop();
    void Relay(int client);
    void AnswerPlainly(int client);

    std::uint16_t backendPort_;
    std::unique_ptr<Context> context_;  // null for the plain answerer
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    bool stopping_ = false;
    std::list<int> openFds_;  // shut down on stop, so no call blocks the join
    std::list<std::thread> threads_;
    std::string received_;
    std::size_t resumed_ = 0;
    std::thread acceptThread_;
};

}  // namespace testsupport

#endif
