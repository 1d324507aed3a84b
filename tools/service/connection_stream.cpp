#include "connection_stream.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <stdexcept>
#include <system_error>

namespace nalpoicomm {
namespace service {
namespace {

// The oldest error in this thread's OpenSSL queue, which names the cause
// rather than its consequences; the queue is left empty for the next call.
std::string TakeTlsError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "no reason given";
    if (ERR_SYSTEM_ERROR(code)) return std::generic_category().message(ERR_GET_REASON(code));
    if (const char* reason = ERR_reason_error_string(code)) return reason;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// Why the handshake call that returned `result` failed; `saved_errno` is
// errno as that call left it.
std::string HandshakeFailure(SSL* ssl, int result, int saved_errno) {
    const int kind = SSL_get_error(ssl, result);
    if (kind == SSL_ERROR_ZERO_RETURN ||
        (kind == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && saved_errno == 0)) {
        ERR_clear_error();
        return "the client closed the connection";
    }
    if (kind == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
        return std::generic_category().message(saved_errno);
    }
    return TakeTlsError();
}

bool IsReadable(int fd) {
    pollfd readable{fd, POLLIN, 0};
    return poll(&readable, 1, 0) > 0;
}

}  // namespace

TlsContext::TlsContext(const std::string& certificate_file, const std::string& key_file)
    : context_(SSL_CTX_new(TLS_server_method())) {
    std::string problem;
    if (context_ == nullptr) {
        problem = "cannot set up TLS: " + TakeTlsError();
    } else if (SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION) != 1) {
        problem = "cannot require TLS 1.2: " + TakeTlsError();
    } else if (SSL_CTX_use_certificate_chain_file(context_, certificate_file.c_str()) != 1) {
        problem = "cannot use the certificate chain " + certificate_file + ": " + TakeTlsError();
    } else if (SSL_CTX_use_PrivateKey_file(context_, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
        problem = "cannot use the private key " + key_file + ": " + TakeTlsError();
    } else if (SSL_CTX_check_private_key(context_) != 1) {
        // A key of another type than the certificate's gets past loading,
        // and OpenSSL's reason then is that the key has no certificate.
        ERR_clear_error();
        problem = "the private key " + key_file + " does not belong to the certificate " +
                  certificate_file;
    }
    if (!problem.empty()) {
        SSL_CTX_free(context_);
        throw std::runtime_error(problem);
    }
    // A client of this service has no reason to renegotiate a TLS 1.2 session.
    SSL_CTX_set_options(context_, SSL_OP_NO_RENEGOTIATION);
}

TlsContext::~TlsContext() { SSL_CTX_free(context_); }

ConnectionStream::ConnectionStream(int socket, const TlsContext* tls) : socket_(socket), tls_(tls) {}

ConnectionStream::~ConnectionStream() {
    Close();
    SSL_free(ssl_);
}

bool ConnectionStream::Handshake(int stop_fd, int seconds, std::string& error) {
    if (tls_ == nullptr) return true;
    ERR_clear_error();
    ssl_ = SSL_new(tls_->get());
    if (ssl_ == nullptr || SSL_set_fd(ssl_, socket_) != 1) {
        error = "no TLS session: " + TakeTlsError();
        return false;
    }
    // Non-blocking while it lasts, so that one deadline bounds the whole
    // handshake however slowly the client sends, and a stop ends it at once.
    const int flags = fcntl(socket_, F_GETFL);
    fcntl(socket_, F_SETFL, flags | O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    error.clear();
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int result = SSL_accept(ssl_);
        const int saved_errno = errno;
        if (result == 1) {
            secure_ = true;
            break;
        }
        const int kind = SSL_get_error(ssl_, result);
        if (kind != SSL_ERROR_WANT_READ && kind != SSL_ERROR_WANT_WRITE) {
            error = HandshakeFailure(ssl_, result, saved_errno);
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            error = "no handshake within " + std::to_string(seconds) + " s";
            break;
        }
        const short wanted = kind == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        pollfd fds[2] = {{socket_, wanted, 0}, {stop_fd, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(std::min<long long>(left, INT_MAX))) < 0 &&
            errno != EINTR) {
            error = "cannot wait for the client: " + std::generic_category().message(errno);
            break;
        }
        if (fds[1].revents != 0) break;
    }
    // A stop also shuts the socket down, which may surface as a failure of
    // the client's: not one to report.
    if (!secure_ && IsReadable(stop_fd)) error.clear();
    fcntl(socket_, F_SETFL, flags);
    return secure_;
}

ssize_t ConnectionStream::Read(char* buffer, std::size_t size) {
    if (tls_ == nullptr) return recv(socket_, buffer, size, 0);
    if (!secure_) return -1;
    ERR_clear_error();
    const int n = SSL_read(ssl_, buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (n > 0) return n;
    const int kind = SSL_get_error(ssl_, n);
    ERR_clear_error();
    if (kind == SSL_ERROR_ZERO_RETURN) return 0;   // close_notify: may still be answered
    // A timeout (WANT_READ on the blocking socket) ends the connection too.
    secure_ = false;
    return -1;
}

bool ConnectionStream::AwaitReadable(int stop_fd, int milliseconds) {
    // OpenSSL may already hold the rest of a record it has read off the socket.
    if (ssl_ != nullptr && SSL_pending(ssl_) > 0) return true;
    pollfd fds[2] = {{socket_, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    return poll(fds, 2, milliseconds) > 0 && fds[1].revents == 0;
}

bool ConnectionStream::Write(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        if (tls_ == nullptr) {
            const ssize_t n =
                send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (!secure_) return false;
        ERR_clear_error();
        std::size_t written = 0;
        if (SSL_write_ex(ssl_, bytes.data() + sent, bytes.size() - sent, &written) != 1) {
            ERR_clear_error();
            secure_ = false;
            return false;
        }
        sent += written;
    }
    return true;
}

void ConnectionStream::AwaitHangUp(int stop_fd) {
    // Reads below TLS: nothing read here is ever answered.
    for (;;) {
        pollfd fds[2] = {{socket_, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        if (fds[0].revents == 0) continue;
        char drain[256];
        const ssize_t n = recv(socket_, drain, sizeof drain, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return;
    }
}

void ConnectionStream::Close() {
    if (secure_) {
        // close_notify without waiting for the client's: the exchange is
        // over either way. Bounded by the socket's send timeout.
        ERR_clear_error();
        SSL_shutdown(ssl_);
        ERR_clear_error();
        secure_ = false;
    }
    std::lock_guard<std::mutex> lock(socket_mutex_);
    if (socket_ < 0) return;
    shutdown(socket_, SHUT_WR);
    close(socket_);
    socket_ = -1;
}

void ConnectionStream::Reset() {
    secure_ = false;   // a close_notify would end the connection in order
    std::lock_guard<std::mutex> lock(socket_mutex_);
    if (socket_ < 0) return;
    const linger reset{1, 0};
    setsockopt(socket_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(socket_);
    socket_ = -1;
}

void ConnectionStream::Interrupt() {
    std::lock_guard<std::mutex> lock(socket_mutex_);
    if (socket_ >= 0) shutdown(socket_, SHUT_RDWR);
}

}  // namespace service
}  // namespace nalpoicomm
