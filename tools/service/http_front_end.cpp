#include "http_front_end.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>

#include "poi_database.h"
#include "poi_exchange.h"
#include "reply_documents.h"
#include "request_log.h"

namespace nalpoicomm {
namespace service {

struct HttpFrontEnd::Connection {
    Connection(int socket, const TlsContext* tls) : stream(socket, tls) {}
    ConnectionStream stream;
    std::thread thread;
    std::atomic<bool> finished{false};
};

struct HttpFrontEnd::Request {
    long connection = 0;   // the connection's number, for the log
    std::string method;
    std::string target;
    std::string body;
    bool http10 = false;   // such a client must be told that its connection is kept
    bool keep = false;     // the connection may serve the next request
};

namespace {

// The client's largest request is a few hundred bytes; anything far past
// that is refused (413) before it is read.
constexpr std::size_t kMaxRequestBodyBytes = 64 * 1024;
constexpr std::size_t kMaxRequestHeadBytes = 16 * 1024;
// Bytes taken from the connection per read: a whole request of the client's.
constexpr std::size_t kReadPieceBytes = 4096;
// A client that stops sending is dropped after this long; a TLS handshake
// gets this long in all.
constexpr int kSocketTimeoutSeconds = 10;
// Not text/*: a reply is plain base64, never to be recoded on the way.
constexpr const char* kReplyContentType = "application/octet-stream";
// One byte more than the client takes; "oversize" sends that.
constexpr std::size_t kOversizeBody = kMaxReplyBodyBytes + 1;

const char* KindName(RequestKind kind) {
    switch (kind) {
        case RequestKind::kUpdate: return "update";
        case RequestKind::kBatch: return "batch";
        case RequestKind::kUnknown: return "bad";
    }
    return "bad";
}

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 413: return "Payload Too Large";
        case 500: return "Internal Server Error";
    }
    return "Unknown";
}

// The Connection header of a reply: "close" when the connection ends after
// it; an HTTP/1.0 client sends its next request only once told "keep-alive".
std::string ConnectionHeader(bool kept, bool http10) {
    if (!kept) return "Connection: close\r\n";
    return http10 ? "Connection: keep-alive\r\n" : "";
}

std::string Head(int status, const std::string& framing, const std::string& connection) {
    return "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n" + framing +
           "Content-Type: " + kReplyContentType + "\r\n" + connection + "\r\n";
}

std::string Response(int status, const std::string& body, const std::string& connection) {
    return Head(status, "Content-Length: " + std::to_string(body.size()) + "\r\n",
                connection) +
           body;
}

// The value of header `name` in `head` (lines after the request line).
bool FindHeader(const std::string& head, const char* name, std::string& value) {
    const std::size_t length = std::strlen(name);
    std::size_t line = head.find("\r\n");
    while (line != std::string::npos && line + 2 < head.size()) {
        const std::size_t start = line + 2;
        const std::size_t end = head.find("\r\n", start);
        const std::string text = head.substr(start, end == std::string::npos ? std::string::npos
                                                                             : end - start);
        if (text.size() > length && text[length] == ':' &&
            strncasecmp(text.c_str(), name, length) == 0) {
            value = text.substr(length + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            value.erase(value.find_last_not_of(" \t") + 1);
            return true;
        }
        line = end;
    }
    return false;
}

// Whether the comma-separated list `value` (a Connection header) holds `token`.
bool HasToken(const std::string& value, const char* token) {
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t end = value.find(',', start);
        if (end == std::string::npos) end = value.size();
        std::string item = value.substr(start, end - start);
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (strcasecmp(item.c_str(), token) == 0) return true;
        start = end + 1;
    }
    return false;
}

// The faults after which a connection cannot serve another request: short
// promises more body than it sends, drop and hang never finish a reply, reset
// has torn the connection down and idle-close closes it on purpose. Every
// other reply is complete and framed, no-length's by its last chunk, so the
// next request may follow it on the same connection.
bool EndsConnection(Fault fault) {
    switch (fault) {
        case Fault::kShort:
        case Fault::kDrop:
        case Fault::kReset:
        case Fault::kHang:
        case Fault::kIdleClose:
            return true;
        default:
            return false;
    }
}

// The document a fault answers with in place of the real one.
std::string FaultDocument(Fault fault, RequestKind kind) {
    switch (fault) {
        case Fault::kNoElement:
            return "a reply without any element in it";
        case Fault::kStatus0:
            if (kind == RequestKind::kBatch) return BatchNotUnderstoodDocument();
            return UpdateUnknownIdDocument();
        case Fault::kStatus2:
            if (kind == RequestKind::kBatch) return "<Bat><Status>2</Status></Bat>";
            return UpdateNotUnderstoodDocument();
        default:
            return std::string();
    }
}

}  // namespace

HttpFrontEnd::HttpFrontEnd(PoiDatabase& db, RequestLog& log, std::string path, FaultPlan faults,
                           const TlsContext* tls, double keep_alive_seconds)
    : db_(db),
      log_(log),
      path_(std::move(path)),
      faults_(faults),
      tls_(tls),
      keep_alive_seconds_(keep_alive_seconds) {
    if (pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
}

HttpFrontEnd::~HttpFrontEnd() {
    Stop();
    ReapFinished(true);
    if (listen_fd_ >= 0) close(listen_fd_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
}

int HttpFrontEnd::Bind(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    int bound = -1;
    for (addrinfo* address = found; address != nullptr && bound < 0; address = address->ai_next) {
        const int fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (bind(fd, address->ai_addr, address->ai_addrlen) == 0 && listen(fd, 64) == 0) {
            sockaddr_storage local{};
            socklen_t length = sizeof local;
            getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
            char service[16] = {};
            getnameinfo(reinterpret_cast<sockaddr*>(&local), length, nullptr, 0, service,
                        sizeof service, NI_NUMERICSERV);
            listen_fd_ = fd;
            bound = std::atoi(service);
        } else {
            close(fd);
        }
    }
    freeaddrinfo(found);
    return bound;
}

bool HttpFrontEnd::Serve() {
    if (listen_fd_ < 0) return false;
    for (;;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
        if (fds[1].revents != 0) break;
        ReapFinished(false);
        if ((fds[0].revents & POLLIN) == 0) continue;
        const int socket = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) continue;
        const timeval limit{kSocketTimeoutSeconds, 0};
        setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        auto connection = std::make_unique<Connection>(socket, tls_);
        Connection& started = *connection;
        const long number = ++accepted_;
        {
            std::lock_guard<std::mutex> lock(connections_mutex_);
            connections_.push_back(std::move(connection));
        }
        started.thread = std::thread([this, &started, number] {
            try {
                Handle(started.stream, number);
            } catch (const std::exception& failure) {   // memory, above all
                log_.Error(failure.what());
            }
            started.stream.Close();
            started.finished = true;
        });
    }
    // Stopping: wake every connection that waits (on its client or in a
    // hang) and let it finish.
    {
        std::lock_guard<std::mutex> lock(connections_mutex_);
        for (auto& connection : connections_) connection->stream.Interrupt();
    }
    ReapFinished(true);
    return true;
}

void HttpFrontEnd::Stop() {
    const char byte = 1;
    // Never read back: the pipe stays readable, so every wait wakes.
    if (write(stop_pipe_[1], &byte, 1) < 0) {
        // Full already: a stop is pending.
    }
}

void HttpFrontEnd::ReapFinished(bool all) {
    std::list<std::unique_ptr<Connection>> done;
    {
        std::lock_guard<std::mutex> lock(connections_mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all || (*it)->finished) {
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : done) {
        if (connection->thread.joinable()) connection->thread.join();
    }
}

bool HttpFrontEnd::Wait(double seconds) {
    pollfd stop{stop_pipe_[0], POLLIN, 0};
    return poll(&stop, 1, static_cast<int>(seconds * 1000)) == 0;
}

bool HttpFrontEnd::Refuse(ConnectionStream& stream, int status, const Request& request) {
    const bool sent =
        stream.Write(Response(status, "", ConnectionHeader(request.keep, request.http10)));
    log_.Request("bad", "", std::to_string(status), 0, request.connection);
    return sent && request.keep;
}

void HttpFrontEnd::Handle(ConnectionStream& stream, long connection) {
    std::string error;
    if (!stream.Handshake(stop_pipe_[0], kSocketTimeoutSeconds, error)) {
        if (!error.empty()) log_.Error("TLS handshake failed: " + error);
        return;
    }
    // Read but not yet served: the start of the next request, when the
    // client sent it before its previous reply came.
    std::string data;
    // The first request has the socket timeout to come; each later one must
    // begin within the keep-alive time, and a stop ends the wait for it.
    const int keep_alive_milliseconds = static_cast<int>(keep_alive_seconds_ * 1000);
    while (ServeRequest(stream, data, connection)) {
        if (data.empty() && !stream.AwaitReadable(stop_pipe_[0], keep_alive_milliseconds)) return;
    }
}

bool HttpFrontEnd::ServeRequest(ConnectionStream& stream, std::string& data, long connection) {
    char piece[kReadPieceBytes];
    std::size_t head_end = std::string::npos;
    while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() > kMaxRequestHeadBytes) break;
        const ssize_t n = stream.Read(piece, sizeof piece);
        if (n <= 0) break;
        data.append(piece, static_cast<std::size_t>(n));
        // A TLS ClientHello to a plain service: answer at once, as a web
        // server does, rather than wait for a head that never comes.
        if (data.compare(0, 2, "\x16\x03") == 0) break;
    }
    // A refusal before the body is framed cannot tell where the next request
    // would begin, so it ends the connection (a Request not kept).
    Request closing;
    closing.connection = connection;
    if (head_end == std::string::npos) {
        if (!data.empty()) Refuse(stream, 400, closing);
        return false;
    }
    const std::string head = data.substr(0, head_end);
    const std::string line = head.substr(0, head.find("\r\n"));
    const std::size_t first_space = line.find(' ');
    const std::size_t second_space =
        first_space == std::string::npos ? first_space : line.find(' ', first_space + 1);
    Request request;
    request.connection = connection;
    request.method = line.substr(0, first_space);
    if (first_space != std::string::npos) {
        request.target = line.substr(first_space + 1, second_space - first_space - 1);
        request.target = request.target.substr(0, request.target.find('?'));
    }
    const std::string version =
        second_space == std::string::npos ? std::string() : line.substr(second_space + 1);
    std::string asked;  // the client's Connection header
    FindHeader(head, "Connection", asked);
    request.http10 = version == "HTTP/1.0";
    request.keep = keep_alive_seconds_ > 0 &&
                   (version == "HTTP/1.1" ? !HasToken(asked, "close")
                                          : request.http10 && HasToken(asked, "keep-alive"));

    std::string length_text;
    std::size_t length = 0;
    std::string encoding;
    if (FindHeader(head, "Transfer-Encoding", encoding)) {
        return Refuse(stream, 400, closing);   // the client always sends a length
    }
    if (FindHeader(head, "Content-Length", length_text)) {
        char* end = nullptr;
        const unsigned long long value = std::strtoull(length_text.c_str(), &end, 10);
        if (length_text.empty() || *end != '\0') return Refuse(stream, 400, closing);
        if (value > kMaxRequestBodyBytes) return Refuse(stream, 413, closing);
        length = static_cast<std::size_t>(value);
    }
    const std::size_t body_start = head_end + 4;
    while (data.size() - body_start < length) {
        const ssize_t n = stream.Read(piece, sizeof piece);
        if (n <= 0) return false;   // gone before its body: nothing to answer
        data.append(piece, static_cast<std::size_t>(n));
    }
    request.body = data.substr(body_start, length);
    // Whatever came after the body is the next request's.
    data.erase(0, body_start + length);

    if (request.method != "POST") return Refuse(stream, 404, request);
    return Answer(stream, request);
}

bool HttpFrontEnd::Answer(ConnectionStream& stream, const Request& request) {
    const std::string& target = request.target;
    Fault fault = Fault::kNone;
    if (target == path_) {
        const long count = ++path_requests_;
        if (faults_.fault != Fault::kNone && count % faults_.every == 0) fault = faults_.fault;
    } else if (target.compare(0, path_.size() + 1, path_ + "/") != 0 ||
               !FaultFromName(target.substr(path_.size() + 1), fault)) {
        return Refuse(stream, 404, request);
    }

    ExchangeOutcome outcome;
    try {
        outcome = AnswerRequest(request.body, db_);
    } catch (const std::exception& failure) {
        log_.Error(failure.what());
        return Refuse(stream, 500, request);
    }
    if (faults_.delay_seconds > 0 && !Wait(faults_.delay_seconds)) return false;   // stopping
    log_.Request(KindName(outcome.kind), outcome.id, outcome.status, outcome.body.size(),
                 request.connection, fault == Fault::kNone ? nullptr : FaultName(fault));

    const bool keep = request.keep && !EndsConnection(fault);
    // idle-close announces a kept connection, as a server does until its
    // idle timer fires, so that the client pools what is about to close.
    const std::string connection =
        ConnectionHeader(keep || fault == Fault::kIdleClose, request.http10);
    std::string reply = outcome.body;
    bool sent = true;
    switch (fault) {
        case Fault::kNone:
        case Fault::kIdleClose:
            sent = stream.Write(Response(200, reply, connection));
            break;
        case Fault::kNoLength: {
            char size[32];
            std::snprintf(size, sizeof size, "%zx", reply.size());
            sent = stream.Write(Head(200, "Transfer-Encoding: chunked\r\n", connection) + size +
                                "\r\n" + reply + "\r\n0\r\n\r\n");
            break;
        }
        case Fault::kZeroLength:
            sent = stream.Write(Response(200, "", connection));
            break;
        case Fault::kOversize:
            reply.resize(kOversizeBody, 'A');
            sent = stream.Write(Response(200, reply, connection));
            break;
        case Fault::kShort:
            stream.Write(Head(200, "Content-Length: " + std::to_string(reply.size()) + "\r\n",
                              connection) +
                         reply.substr(0, reply.size() / 2));
            break;
        case Fault::kDrop:
            break;
        case Fault::kReset:
            stream.Reset();
            break;
        case Fault::kHang:
            // Nothing is sent; the connection ends when the client gives up
            // or the service stops.
            stream.AwaitHangUp(stop_pipe_[0]);
            break;
        case Fault::kGarbage:
            sent = stream.Write(Response(200, "** this is not base64 at all **", connection));
            break;
        case Fault::kNoElement:
        case Fault::kStatus0:
        case Fault::kStatus2:
            sent = stream.Write(
                Response(200, EncodeReplyBody(FaultDocument(fault, outcome.kind)), connection));
            break;
        case Fault::kHttp500:
            sent = stream.Write(Response(500, reply, connection));
            break;
    }
    return sent && keep;
}

}  // namespace service
}  // namespace nalpoicomm
