#include "support/tls_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace testsupport {
namespace {

constexpr int kWaitMs = 5000;  // no test waits longer on its peer

int ListenOnLoopback(std::uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("TlsFront cannot listen");
    }
    port = ntohs(address.sin_port);
    return fd;
}

int ConnectToLoopback(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

}  // namespace

struct TlsFront::Context {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    ~Context() { SSL_CTX_free(ctx); }
};

TlsFront::TlsFront(std::uint16_t backendPort, std::optional<CertificateFiles> certificate)
    : backendPort_(backendPort) {
    if (certificate) {
        context_ = std::make_unique<Context>();
        if (context_->ctx == nullptr ||
            SSL_CTX_use_certificate_chain_file(context_->ctx, certificate->chain.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(context_->ctx, certificate->key.c_str(), SSL_FILETYPE_PEM) != 1) {
            throw std::runtime_error("TlsFront cannot load its certificate");
        }
    }
    listenFd_ = ListenOnLoopback(port_);
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("TlsFront: no pipe");
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TlsFront::~TlsFront() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (int fd : openFds_) shutdown(fd, SHUT_RDWR);
    }
    const char wake = 1;
    while (write(stopPipe_[1], &wake, 1) < 0 && errno == EINTR) {
    }
    acceptThread_.join();
    for (std::thread& thread : threads_) thread.join();
    close(listenFd_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
}

std::string TlsFront::Url(const std::string& host, const std::string& path) const {
    return "https://" + host + ":" + std::to_string(port_) + path;
}

std::string TlsFront::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::size_t TlsFront::ResumedHandshakes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resumed_;
}

void TlsFront::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            close(client);
            return;
        }
        openFds_.push_back(client);
        threads_.emplace_back([this, client] {
            // OpenSSL writes with write(): a client gone must give EPIPE, not end the tests.
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
            if (context_) {
                Relay(client);
            } else {
                AnswerPlainly(client);
            }
            // Off the list before the close, so a stop never shuts down a reused number.
            {
                std::lock_guard<std::mutex> done(mutex_);
                openFds_.remove(client);
            }
            close(client);
        });
    }
}

void TlsFront::AnswerPlainly(int client) {
    pollfd in{client, POLLIN, 0};
    char bytes[4096];
    ssize_t got = 0;
    if (poll(&in, 1, kWaitMs) == 1 && (got = recv(client, bytes, sizeof bytes, 0)) > 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.append(bytes, static_cast<std::size_t>(got));
        }
        static const char kAnswer[] =
            "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        send(client, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
    }
}

void TlsFront::Relay(int client) {
    const timeval limit{kWaitMs / 1000, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);  // bounds the handshake
    SSL* ssl = SSL_new(context_->ctx);
    SSL_set_fd(ssl, client);
    if (SSL_accept(ssl) != 1) {
        ERR_clear_error();
        SSL_free(ssl);
        return;
    }
    if (SSL_session_reused(ssl)) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++resumed_;
    }
    const timeval none{0, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);  // scripts may stall
    const int backend = ConnectToLoopback(backendPort_);
    bool reset = false;
    bool clientOpen = true;
    char bytes[16384];
    while (backend >= 0) {
        pollfd fds[3] = {{client, static_cast<short>(clientOpen ? POLLIN : 0), 0},
                         {backend, POLLIN, 0},
                         {stopPipe_[0], POLLIN, 0}};
        if (SSL_pending(ssl) == 0 && poll(fds, 3, -1) < 0 && errno != EINTR) break;
        if (fds[2].revents != 0) break;
        if (clientOpen && (SSL_pending(ssl) > 0 || fds[0].revents != 0)) {
            const int got = SSL_read(ssl, bytes, sizeof bytes);
            if (got > 0) {
                send(backend, bytes, static_cast<std::size_t>(got), MSG_NOSIGNAL);
            } else {
                clientOpen = false;
                shutdown(backend, SHUT_WR);
            }
        }
        if (fds[1].revents != 0) {
            const ssize_t got = recv(backend, bytes, sizeof bytes, 0);
            if (got > 0) {
                if (SSL_write(ssl, bytes, static_cast<int>(got)) <= 0) break;
                continue;
            }
            reset = got < 0;
            break;
        }
    }
    if (backend >= 0) close(backend);
    ERR_clear_error();
    if (reset) {
        const linger abortive{1, 0};  // the close that follows sends a reset
        setsockopt(client, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    } else {
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
}

}  // namespace testsupport
