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

namespace {

// The client's largest request is a few hundred bytes; anything far past
// that is refused (413) before it is read.
constexpr std::size_t kMaxRequestBodyBytes = 64 * 1024;
constexpr std::size_t kMaxRequestHeadBytes = 16 * 1024;
// A client that stops sending is dropped after this long; a TLS handshake
// gets this long in all.
constexpr int kSocketTimeoutSeconds = 10;
// Not text/*: a reply is plain base64, never to be recoded on the way.
constexpr const char* kReplyContentType = "application/octet-stream";
// The client refuses a Content-Length of 30720 or more; "oversize" sends that.
constexpr std::size_t kOversizeBody = 30720;

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

std::string Head(int status, const std::string& framing) {
    return "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n" + framing +
           "Content-Type: " + kReplyContentType + "\r\nConnection: close\r\n\r\n";
}

std::string Response(int status, const std::string& body) {
    return Head(status, "Content-Length: " + std::to_string(body.size()) + "\r\n") + body;
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
                           const TlsContext* tls)
    : db_(db), log_(log), path_(std::move(path)), faults_(faults), tls_(tls) {
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
        {
            std::lock_guard<std::mutex> lock(connections_mutex_);
            connections_.push_back(std::move(connection));
        }
        started.thread = std::thread([this, &started] {
            try {
                Handle(started.stream);
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

void HttpFrontEnd::Refuse(ConnectionStream& stream, int status) {
    stream.Write(Response(status, ""));
    log_.Request("bad", "", std::to_string(status), 0);
}

void HttpFrontEnd::Handle(ConnectionStream& stream) {
    std::string error;
    if (!stream.Handshake(stop_pipe_[0], kSocketTimeoutSeconds, error)) {
        if (!error.empty()) log_.Error("TLS handshake failed: " + error);
        return;
    }
    std::string data;
    char piece[4096];
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
    if (head_end == std::string::npos) {
        if (!data.empty()) Refuse(stream, 400);
        return;
    }
    const std::string head = data.substr(0, head_end);
    std::string body = data.substr(head_end + 4);
    const std::size_t first_space = head.find(' ');
    const std::size_t second_space = head.find(' ', first_space + 1);
    const std::string method = head.substr(0, first_space);
    std::string target = first_space == std::string::npos
                             ? std::string()
                             : head.substr(first_space + 1, second_space - first_space - 1);
    target = target.substr(0, target.find('?'));

    std::string length_text;
    std::size_t length = 0;
    std::string encoding;
    if (FindHeader(head, "Transfer-Encoding", encoding)) {
        return Refuse(stream, 400);   // the client always sends a length
    }
    if (FindHeader(head, "Content-Length", length_text)) {
        char* end = nullptr;
        const unsigned long long value = std::strtoull(length_text.c_str(), &end, 10);
        if (length_text.empty() || *end != '\0') return Refuse(stream, 400);
        if (value > kMaxRequestBodyBytes) return Refuse(stream, 413);
        length = static_cast<std::size_t>(value);
    }
    while (body.size() < length) {
        const ssize_t n = stream.Read(piece, sizeof piece);
        if (n <= 0) return;   // gone before its body: nothing to answer
        body.append(piece, static_cast<std::size_t>(n));
    }
    body.resize(length);

    if (method != "POST") return Refuse(stream, 404);
    Answer(stream, target, body);
}

void HttpFrontEnd::Answer(ConnectionStream& stream, const std::string& target,
                          const std::string& body) {
    Fault fault = Fault::kNone;
    if (target == path_) {
        const long count = ++path_requests_;
        if (faults_.fault != Fault::kNone && count % faults_.every == 0) fault = faults_.fault;
    } else if (target.compare(0, path_.size() + 1, path_ + "/") != 0 ||
               !FaultFromName(target.substr(path_.size() + 1), fault)) {
        return Refuse(stream, 404);
    }

    ExchangeOutcome outcome;
    try {
        outcome = AnswerRequest(body, db_);
    } catch (const std::exception& failure) {
        log_.Error(failure.what());
        return Refuse(stream, 500);
    }
    if (faults_.delay_seconds > 0 && !Wait(faults_.delay_seconds)) return;   // stopping
    log_.Request(KindName(outcome.kind), outcome.id, outcome.status, outcome.body.size(),
                 fault == Fault::kNone ? nullptr : FaultName(fault));

    std::string reply = outcome.body;
    switch (fault) {
        case Fault::kNone:
            stream.Write(Response(200, reply));
            break;
        case Fault::kNoLength: {
            char size[32];
            std::snprintf(size, sizeof size, "%zx", reply.size());
            stream.Write(Head(200, "Transfer-Encoding: chunked\r\n") + size + "\r\n" + reply +
                         "\r\n0\r\n\r\n");
            break;
        }
        case Fault::kZeroLength:
            stream.Write(Response(200, ""));
            break;
        case Fault::kOversize:
            reply.resize(kOversizeBody, 'A');
            stream.Write(Response(200, reply));
            break;
        case Fault::kShort:
            stream.Write(Head(200, "Content-Length: " + std::to_string(reply.size()) + "\r\n") +
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
            stream.Write(Response(200, "** this is not base64 at all **"));
            break;
        case Fault::kNoElement:
        case Fault::kStatus0:
        case Fault::kStatus2:
            stream.Write(Response(200, EncodeReplyBody(FaultDocument(fault, outcome.kind))));
            break;
        case Fault::kHttp500:
            stream.Write(Response(500, reply));
            break;
    }
}

}  // namespace service
}  // namespace nalpoicomm
