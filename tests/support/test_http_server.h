// A scriptable HTTP/1.1 server on 127.0.0.1 for the tests. It reads a
// request, records it, then plays a reply script that writes exact bytes,
// pauses, stalls or resets, so one server can act as any well-behaved or
// misbehaving service; a script that ends with KeepOpen() reads the next
// request on the same connection. Plain POSIX sockets, one thread per
// connection; everything is torn down by the destructor.
#ifndef NALPOICOMM_TESTS_SUPPORT_TEST_HTTP_SERVER_H
#define NALPOICOMM_TESTS_SUPPORT_TEST_HTTP_SERVER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

struct RecordedRequest {
    std::string requestLine;                 // "POST /poi HTTP/1.1"
    std::string method, target;              // "POST", "/poi?x=1"
    std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
    std::string head;                        // raw bytes up to and including the blank line
    std::string body;                        // exactly Content-Length bytes (or what arrived)
    bool complete = false;                   // head and the whole body arrived
    std::size_t connection = 0;              // the connection it came on: 1 for the first accepted

    std::string Header(const std::string& name) const;  // case-insensitive, "" when absent
    bool HasHeader(const std::string& name) const;
};

// One step of a reply script, executed after the whole request has been read.
struct ReplyStep {
    enum class Kind { kSend, kSleep, kHang, kReset, kKeepOpen };

    static ReplyStep Send(std::string bytes);  // write these bytes exactly
    static ReplyStep Sleep(int milliseconds);  // pause (interrupted early when the server stops)
    static ReplyStep Hang();                   // write nothing more; wait until the client closes
                                               // the connection or the server stops
    static ReplyStep Reset();                  // abort with a TCP reset; ends the script
    static ReplyStep KeepOpen();               // ends the script, the connection left open for the
                                               // next request

    Kind kind = Kind::kSend;
    std::string bytes;     // kSend
    int milliseconds = 0;  // kSleep
};
using ReplyScript = std::vector<ReplyStep>;   // after the last step the server closes the connection

class TestHttpServer {
public:
    // Binds 127.0.0.1:0, listens and starts the accept thread; throws
    // std::system_error when the socket cannot be set up.
    TestHttpServer();
    // Stops: wakes every sleep, hang, read and write, closes all sockets and
    // joins every thread. Never blocks on a client.
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    std::uint16_t Port() const;
    std::string Url(const std::string& path = "/poi") const;   // "http://127.0.0.1:<port><path>"

    // A script is chosen once the request is recorded: the router's answer
    // first, else the oldest queued script, else the default. Until a default
    // is set it is empty: the server closes without replying.
    void SetScript(ReplyScript script);        // default script for every request from now on
    void QueueScript(ReplyScript script);      // used once, by the next request, before the default
    // Script chosen by request (e.g. a redirect target); returning std::nullopt falls back to the
    // above. Called on the connection's thread without the server's lock held.
    void SetRouter(std::function<std::optional<ReplyScript>(const RecordedRequest&)> router);

    // Every request read so far, in order. A connection that closes before
    // sending a byte records nothing; one that closes mid-request records
    // what arrived (complete == false) and gets no reply.
    std::vector<RecordedRequest> Requests() const;
    bool WaitForRequests(std::size_t count, int timeoutMs) const;
    std::size_t Connections() const;           // connections accepted so far
    std::size_t OpenConnections() const;       // connections accepted and not yet finished
    bool WaitUntilIdle(int timeoutMs) const;   // all connection threads finished

private:
    struct Connection {
        std::thread thread;
        bool finished = false;
    };

    void AcceptLoop();
    void Serve(int fd, std::size_t connection);
    ReplyScript ChooseScript(const RecordedRequest& request);
    // Plays the script; true when the connection stays open for another request.
    bool RunScript(int fd, const ReplyScript& script);
    void JoinFinishedConnections();

    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};  // written once on stop; every poll() also watches its read end
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;  // new request, finished connection, or stop
    bool stopping_ = false;
    ReplyScript defaultScript_;
    std::list<ReplyScript> queuedScripts_;
    std::function<std::optional<ReplyScript>(const RecordedRequest&)> router_;
    std::vector<RecordedRequest> requests_;
    std::size_t acceptedCount_ = 0;
    std::size_t openCount_ = 0;
    std::list<Connection> connections_;
    std::thread acceptThread_;
};

// Convenience builders.
// A full response: status line "HTTP/1.1 <status> <reason>", "Content-Length: <body size>",
// "Connection: close", the extra header lines given (each without CRLF), blank line, body.
std::string HttpResponse(int status, const std::string& body,
                         const std::vector<std::string>& extraHeaders = {});
// The same but with a Content-Length header of your own text, or none (std::nullopt).
std::string HttpResponseWithLength(int status, const std::string& body,
                                   std::optional<std::string> contentLength,
                                   const std::vector<std::string>& extraHeaders = {});
// A port on 127.0.0.1 that nothing listens on (bind port 0, read it, close): connection refused.
std::uint16_t UnusedLoopbackPort();

}  // namespace testsupport

#endif
