// One accepted connection as the front end's handler sees it: plain TCP, or
// TLS on top of it, behind the same Read, Write, Close and Reset, so that
// every reply and every fault takes one path either way. TlsContext holds
// the service's certificate chain and key for every TLS connection.
#ifndef NALPOI_SERVICE_CONNECTION_STREAM_H
#define NALPOI_SERVICE_CONNECTION_STREAM_H

#include <openssl/ssl.h>
#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <string>

namespace nalpoicomm {
namespace service {

class TlsContext {
public:
    // Loads a PEM certificate chain (leaf first) and the PEM private key
    // that goes with it; TLS 1.2 at least, 1.3 offered. Throws
    // std::runtime_error naming the file and OpenSSL's reason when a file
    // cannot be read or the key does not fit the certificate.
    TlsContext(const std::string& certificate_file, const std::string& key_file);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    SSL_CTX* get() const { return context_; }

private:
    SSL_CTX* context_;
};

class ConnectionStream {
public:
    // Owns `socket`. With `tls`, the connection speaks TLS once Handshake()
    // has succeeded; without, it is the socket itself.
    ConnectionStream(int socket, const TlsContext* tls);
    ~ConnectionStream();
    ConnectionStream(const ConnectionStream&) = delete;
    ConnectionStream& operator=(const ConnectionStream&) = delete;

    // Runs the server side of the TLS handshake for at most `seconds`, and
    // only until `stop_fd` gets readable; true at once for plain TCP. On
    // false, `error` says why, and is empty when the service is stopping.
    bool Handshake(int stop_fd, int seconds, std::string& error);

    // As recv(): bytes read, 0 once the client has finished sending, -1 on
    // a failure or a timeout.
    ssize_t Read(char* buffer, std::size_t size);

    // Returns true once Read has something without waiting for the client:
    // bytes, or the end of the connection. False when `milliseconds` pass
    // first or `stop_fd` gets readable.
    bool AwaitReadable(int stop_fd, int milliseconds);

    // Sends all of `bytes`; false when the connection failed.
    bool Write(const std::string& bytes);

    // Returns once the client hangs up or `stop_fd` gets readable, dropping
    // whatever the client sends meanwhile.
    void AwaitHangUp(int stop_fd);

    // Ends the connection in order: TLS close_notify, then FIN. Does
    // nothing once the connection has ended.
    void Close();

    // Ends it with a TCP RST and no close_notify.
    void Reset();

    // From another thread: wakes a Read or Write that waits for the client,
    // as the service stops.
    void Interrupt();

private:
    std::mutex socket_mutex_;   // socket_ between Interrupt() and closing
    int socket_;
    const TlsContext* tls_;
    SSL* ssl_ = nullptr;
    // The handshake is done and no fatal error came since: only then may
    // close_notify be sent.
    bool secure_ = false;
};

}  // namespace service
}  // namespace nalpoicomm

#endif
