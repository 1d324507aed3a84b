// The HTTP side of the service, on POSIX sockets, plain or under TLS. An
// HTTP/1.1 connection is kept after each reply for the client's next request,
// as WinINet and libcurl keep theirs, until the client closes it or leaves it
// idle for the keep-alive time; a client that asks for a close, or an
// HTTP/1.0 one that does not ask to keep it, gets one reply and a close. A
// POST to the configured path runs one exchange and answers 200 with the
// base64 reply; a POST to <path>/<fault> plays that fault; any other method
// or path gets 404. Every request is logged once. Owning the sockets lets the
// service misbehave on purpose (half a body, a reset, no answer at all),
// which an HTTP library would not.
#ifndef NALPOI_SERVICE_HTTP_FRONT_END_H
#define NALPOI_SERVICE_HTTP_FRONT_END_H

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "connection_stream.h"
#include "fault_plan.h"

namespace nalpoicomm {
namespace service {

class PoiDatabase;
class RequestLog;

class HttpFrontEnd {
public:
    // With `tls`, which must outlive the front end, every connection speaks
    // HTTPS. A connection waits `keep_alive_seconds` for its next request; 0
    // closes every connection after its first reply.
    HttpFrontEnd(PoiDatabase& db, RequestLog& log, std::string path, FaultPlan faults = {},
                 const TlsContext* tls = nullptr, double keep_alive_seconds = 0);
    ~HttpFrontEnd();
    HttpFrontEnd(const HttpFrontEnd&) = delete;
    HttpFrontEnd& operator=(const HttpFrontEnd&) = delete;

    // Binds `host`:`port` (0 picks a free port); returns the bound port, or
    // -1 when the address cannot be bound.
    int Bind(const std::string& host, int port);

    // Serves until Stop(); false when serving could not start. Returns once
    // every connection has been closed.
    bool Serve();

    // Ends Serve() from any thread, also before it has started.
    void Stop();

private:
    struct Connection;
    struct Request;
    // Serves the connection's requests in turn; the caller closes the stream.
    void Handle(ConnectionStream& stream, long connection);
    // Reads the request that `data` begins, reading more as it needs, leaves
    // in `data` the bytes that came after its body and answers it. True when
    // the connection may serve the next request.
    bool ServeRequest(ConnectionStream& stream, std::string& data, long connection);
    bool Answer(ConnectionStream& stream, const Request& request);
    // Answers `status` with no body and logs the request as bad; true when
    // the connection may serve the next request.
    bool Refuse(ConnectionStream& stream, int status, const Request& request);
    void ReapFinished(bool all);
    // Sleeps `seconds`, or less when the service stops; false then.
    bool Wait(double seconds);

    PoiDatabase& db_;
    RequestLog& log_;
    std::string path_;
    FaultPlan faults_;
    const TlsContext* tls_;           // null: plain HTTP
    double keep_alive_seconds_;
    std::mutex db_mutex_;             // the database serves one exchange at a time
    std::atomic<long> path_requests_{0};
    long accepted_ = 0;               // connections so far, numbered in the log
    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};     // readable once Stop() has been called
    std::mutex connections_mutex_;
    std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace service
}  // namespace nalpoicomm

#endif
