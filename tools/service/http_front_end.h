// The HTTP side of the service, on cpp-httplib: a POST to the configured
// path runs one exchange and answers 200 with the base64 reply; any other
// method or path gets 404. Every request is logged once.
#ifndef NALPOI_SERVICE_HTTP_FRONT_END_H
#define NALPOI_SERVICE_HTTP_FRONT_END_H

#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace nalpoicomm {
namespace service {

class PoiDatabase;
class RequestLog;

class HttpFrontEnd {
public:
    HttpFrontEnd(PoiDatabase& db, RequestLog& log, std::string path);
    ~HttpFrontEnd();
    HttpFrontEnd(const HttpFrontEnd&) = delete;
    HttpFrontEnd& operator=(const HttpFrontEnd&) = delete;

    // Binds `host`:`port` (0 picks a free port); returns the bound port, or
    // -1 when the address cannot be bound.
    int Bind(const std::string& host, int port);

    // Serves until Stop(); false when serving could not start.
    bool Serve();

    // Ends Serve() from any thread. A call before Serve() has started may
    // be missed: repeat it until Serve() has returned.
    void Stop();

private:
    PoiDatabase& db_;
    RequestLog& log_;
    std::string path_;
    std::unique_ptr<httplib::Server> server_;
};

}  // namespace service
}  // namespace nalpoicomm

#endif
