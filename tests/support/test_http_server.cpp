#include "support/test_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <system_error>

namespace testsupport {
namespace {

// Far beyond any head the library sends; stops a client that never ends its head.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;
// Request bodies are a few KiB of base64 XML; a longer one is a runaway client.
constexpr std::size_t kMaxBodyBytes = 16 * 1024 * 1024;
// What one recv() takes at a time.
constexpr std::size_t kReadChunkBytes = 16 * 1024;
// Tests open a handful of connections at once.
constexpr int kListenBacklog = 64;

constexpr char kHeadEnd[] = "\r\n\r\n";
constexpr std::size_t kHeadEndLength = sizeof(kHeadEnd) - 1;

[[noreturn]] void ThrowErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string TrimSpaces(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Decimal digits only; anything else counts as no body. Saturates just past
// kMaxBodyBytes so a huge value cannot overflow.
std::size_t ParseContentLength(const std::string& text) {
    std::size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + static_cast<std::size_t>(c - '0');
        if (value > kMaxBodyBytes) return kMaxBodyBytes + 1;
    }
    return value;
}

const char* ReasonPhrase(int status) {
    switch (status) {
        case 100: return "Continue";
        case 200: return "OK";
        case 201: return "Created";
        case 202: return "Accepted";
        case 204: return "No Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 407: return "Proxy Authentication Required";
        case 408: return "Request Timeout";
        case 413: return "Payload Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        default: return "Unknown";
    }
}

// Fills the request line, method, target and headers from a raw head, which
// may be cut short when the client closed early.
void ParseHead(RecordedRequest& request) {
    const std::string& head = request.head;
    std::size_t lineStart = 0;
    bool firstLine = true;
    while (lineStart < head.size()) {
        std::size_t lineEnd = head.find("\r\n", lineStart);
        if (lineEnd == std::string::npos) lineEnd = head.size();
        const std::string line = head.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 2;
        if (firstLine) {
            firstLine = false;
            request.requestLine = line;
            const std::size_t methodEnd = line.find(' ');
            request.method = line.substr(0, methodEnd);
            if (methodEnd != std::string::npos) {
                const std::size_t targetEnd = line.find(' ', methodEnd + 1);
                request.target = line.substr(methodEnd + 1, targetEnd == std::string::npos
                                                                ? std::string::npos
                                                                : targetEnd - methodEnd - 1);
            }
            continue;
        }
        if (line.empty()) break;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            request.headers.emplace_back(line, "");
        } else {
            request.headers.emplace_back(line.substr(0, colon), TrimSpaces(line.substr(colon + 1)));
        }
    }
}

enum class Wait { kReady, kStopped };

// Blocks until `fd` reports one of `events` (or an error/hang-up) or the stop
// pipe becomes readable.
Wait WaitFor(int fd, short events, int stopFd) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || fds[1].revents != 0) return Wait::kStopped;
        if (fds[0].revents != 0) return Wait::kReady;
    }
}

// Appends what one recv() brings. Returns false when the peer closed, the
// socket failed or the server is stopping.
bool ReceiveSome(int fd, int stopFd, std::string& into) {
    char chunk[kReadChunkBytes];
    for (;;) {
        if (WaitFor(fd, POLLIN, stopFd) == Wait::kStopped) return false;
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got > 0) {
            into.append(chunk, static_cast<std::size_t>(got));
            return true;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        return false;
    }
}

// Reads one request, starting with what `buffer` already holds; leaves in it
// what came after the request. Nothing is returned when the client sent no
// byte at all.
std::optional<RecordedRequest> ReadRequest(int fd, int stopFd, std::string& buffer) {
    std::size_t headEnd = buffer.find(kHeadEnd);
    bool open = true;
    while (headEnd == std::string::npos && buffer.size() < kMaxHeadBytes) {
        // The terminator may straddle two reads.
        const std::size_t searchFrom =
            buffer.size() < kHeadEndLength ? 0 : buffer.size() - (kHeadEndLength - 1);
        if (!ReceiveSome(fd, stopFd, buffer)) {
            open = false;
            break;
        }
        headEnd = buffer.find(kHeadEnd, searchFrom);
    }
    if (buffer.empty()) return std::nullopt;

    RecordedRequest request;
    if (headEnd == std::string::npos) {
        // Cut short or over-long: keep what arrived, no body.
        request.head = buffer.substr(0, kMaxHeadBytes);
        ParseHead(request);
        return request;
    }
    request.head = buffer.substr(0, headEnd + kHeadEndLength);
    request.body = buffer.substr(headEnd + kHeadEndLength);
    ParseHead(request);

    const std::size_t length = ParseContentLength(request.Header("Content-Length"));
    const std::size_t wanted = length > kMaxBodyBytes ? kMaxBodyBytes : length;
    while (open && request.body.size() < wanted) open = ReceiveSome(fd, stopFd, request.body);
    buffer = request.body.size() > wanted ? request.body.substr(wanted) : std::string();
    if (request.body.size() > wanted) request.body.resize(wanted);
    request.complete = request.body.size() == length;
    return request;
}

// Writes all of `bytes` unless the server stops first. Write errors are
// ignored: a client that went away simply misses the rest.
bool SendAll(int fd, int stopFd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t wrote = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (wrote > 0) {
            sent += static_cast<std::size_t>(wrote);
        } else if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (WaitFor(fd, POLLOUT, stopFd) == Wait::kStopped) return false;
        } else if (wrote < 0 && errno == EINTR) {
            continue;
        } else {
            return true;
        }
    }
    return true;
}

// Returns once the client closed its side (or reset), or the server stops.
// Anything the client still sends is discarded.
Wait HangUntilClosed(int fd, int stopFd) {
    char discard[kReadChunkBytes];
    for (;;) {
        if (WaitFor(fd, POLLIN, stopFd) == Wait::kStopped) return Wait::kStopped;
        const ssize_t got = recv(fd, discard, sizeof discard, 0);
        if (got == 0) return Wait::kReady;
        if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return Wait::kReady;
    }
}

// FIN first and unread input drained, so the client is not sent a reset that
// could make it drop reply bytes still in flight.
void CloseGracefully(int fd) {
    shutdown(fd, SHUT_WR);
    char discard[kReadChunkBytes];
    while (recv(fd, discard, sizeof discard, MSG_DONTWAIT) > 0) {
    }
    close(fd);
}

void CloseWithReset(int fd) {
    const linger abortive{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(fd);
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
    for (const auto& header : headers) {
        if (EqualsIgnoringCase(header.first, name)) return header.second;
    }
    return "";
}

bool RecordedRequest::HasHeader(const std::string& name) const {
    for (const auto& header : headers) {
        if (EqualsIgnoringCase(header.first, name)) return true;
    }
    return false;
}

ReplyStep ReplyStep::Send(std::string bytes) {
    ReplyStep step;
    step.kind = Kind::kSend;
    step.bytes = std::move(bytes);
    return step;
}

ReplyStep ReplyStep::Sleep(int milliseconds) {
    ReplyStep step;
    step.kind = Kind::kSleep;
    step.milliseconds = milliseconds;
    return step;
}

ReplyStep ReplyStep::Hang() {
    ReplyStep step;
    step.kind = Kind::kHang;
    return step;
}

ReplyStep ReplyStep::Reset() {
    ReplyStep step;
    step.kind = Kind::kReset;
    return step;
}

ReplyStep ReplyStep::KeepOpen() {
    ReplyStep step;
    step.kind = Kind::kKeepOpen;
    return step;
}

TestHttpServer::TestHttpServer() {
    if (pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) ThrowErrno("pipe2");
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t addressLength = sizeof address;
    if (listenFd_ < 0 ||
        bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, kListenBacklog) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &addressLength) != 0) {
        const int error = errno;
        if (listenFd_ >= 0) close(listenFd_);
        close(stopPipe_[0]);
        close(stopPipe_[1]);
        throw std::system_error(error, std::generic_category(), "listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    // Never read back: the pipe stays readable, so every present and future poll() wakes.
    const char wake = 's';
    while (write(stopPipe_[1], &wake, 1) < 0 && errno == EINTR) {
    }
    acceptThread_.join();

    std::list<Connection> remaining;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        remaining.splice(remaining.end(), connections_);
    }
    for (Connection& connection : remaining) connection.thread.join();
    close(listenFd_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
}

std::uint16_t TestHttpServer::Port() const { return port_; }

std::string TestHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TestHttpServer::SetScript(ReplyScript script) {
    std::lock_guard<std::mutex> lock(mutex_);
    defaultScript_ = std::move(script);
}

void TestHttpServer::QueueScript(ReplyScript script) {
    std::lock_guard<std::mutex> lock(mutex_);
    queuedScripts_.push_back(std::move(script));
}

void TestHttpServer::SetRouter(
    std::function<std::optional<ReplyScript>(const RecordedRequest&)> router) {
    std::lock_guard<std::mutex> lock(mutex_);
    router_ = std::move(router);
}

std::vector<RecordedRequest> TestHttpServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool TestHttpServer::WaitForRequests(std::size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return requests_.size() >= count; });
}

std::size_t TestHttpServer::Connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return acceptedCount_;
}

std::size_t TestHttpServer::OpenConnections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openCount_;
}

bool TestHttpServer::WaitUntilIdle(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return openCount_ == 0; });
}

void TestHttpServer::AcceptLoop() {
    for (;;) {
        if (WaitFor(listenFd_, POLLIN, stopPipe_[0]) == Wait::kStopped) return;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) continue;  // the client gave up before we took it
        JoinFinishedConnections();

        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            close(fd);
            return;
        }
        const std::size_t number = ++acceptedCount_;
        ++openCount_;
        connections_.emplace_back();
        const auto entry = std::prev(connections_.end());
        entry->thread = std::thread([this, fd, entry, number] {
            Serve(fd, number);
            {
                std::lock_guard<std::mutex> finishedLock(mutex_);
                entry->finished = true;
                --openCount_;
            }
            changed_.notify_all();
        });
    }
}

// Finished threads are joined as new connections come, so a long test does
// not pile up dead threads until the destructor.
void TestHttpServer::JoinFinishedConnections() {
    std::list<Connection> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            const auto next = std::next(it);
            if (it->finished) finished.splice(finished.end(), connections_, it);
            it = next;
        }
    }
    for (Connection& connection : finished) connection.thread.join();
}

void TestHttpServer::Serve(int fd, std::size_t connection) {
    std::string pending;  // bytes of the next request that came with this one
    for (;;) {
        std::optional<RecordedRequest> request = ReadRequest(fd, stopPipe_[0], pending);
        if (!request) break;
        request->connection = connection;
        const bool complete = request->complete;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(*request);
        }
        changed_.notify_all();
        if (!complete) break;
        if (!RunScript(fd, ChooseScript(*request))) return;
    }
    CloseGracefully(fd);
}

ReplyScript TestHttpServer::ChooseScript(const RecordedRequest& request) {
    std::function<std::optional<ReplyScript>(const RecordedRequest&)> router;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        router = router_;
    }
    if (router) {
        std::optional<ReplyScript> routed = router(request);
        if (routed) return std::move(*routed);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!queuedScripts_.empty()) {
        ReplyScript script = std::move(queuedScripts_.front());
        queuedScripts_.pop_front();
        return script;
    }
    return defaultScript_;
}

// Plays the steps, then closes the connection unless the script keeps it;
// a stop ends the script at once.
bool TestHttpServer::RunScript(int fd, const ReplyScript& script) {
    const int stopFd = stopPipe_[0];
    for (const ReplyStep& step : script) {
        bool stopped = false;
        switch (step.kind) {
            case ReplyStep::Kind::kSend:
                stopped = !SendAll(fd, stopFd, step.bytes);
                break;
            case ReplyStep::Kind::kSleep: {
                std::unique_lock<std::mutex> lock(mutex_);
                stopped = changed_.wait_for(lock, std::chrono::milliseconds(step.milliseconds),
                                            [&] { return stopping_; });
                break;
            }
            case ReplyStep::Kind::kHang:
                stopped = HangUntilClosed(fd, stopFd) == Wait::kStopped;
                break;
            case ReplyStep::Kind::kReset:
                CloseWithReset(fd);
                return false;
            case ReplyStep::Kind::kKeepOpen:
                return true;
        }
        if (stopped) break;
    }
    CloseGracefully(fd);
    return false;
}

std::string HttpResponse(int status, const std::string& body,
                         const std::vector<std::string>& extraHeaders) {
    return HttpResponseWithLength(status, body, std::to_string(body.size()), extraHeaders);
}

std::string HttpResponseWithLength(int status, const std::string& body,
                                   std::optional<std::string> contentLength,
                                   const std::vector<std::string>& extraHeaders) {
    std::string response = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
    if (contentLength) response += "Content-Length: " + *contentLength + "\r\n";
    response += "Connection: close\r\n";
    for (const std::string& header : extraHeaders) response += header + "\r\n";
    response += "\r\n";
    response += body;
    return response;
}

std::uint16_t UnusedLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) ThrowErrno("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t addressLength = sizeof address;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressLength) != 0) {
        const int error = errno;
        close(fd);
        throw std::system_error(error, std::generic_category(), "bind 127.0.0.1:0");
    }
    close(fd);
    return ntohs(address.sin_port);
}

}  // namespace testsupport
