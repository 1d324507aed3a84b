// The request log on stderr: one line per request,
//   <ISO time> <update|batch|bad> id=<ID or -> status=<status> bytes=<reply body bytes>
//     connection=<N>
// (on one line; N numbers the connections in the order they were accepted,
// so requests that shared a kept connection show it), written whole, so that
// lines from the server's threads never interleave.
#ifndef NALPOI_SERVICE_REQUEST_LOG_H
#define NALPOI_SERVICE_REQUEST_LOG_H

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace nalpoicomm {
namespace service {

// The line for one request at `when`, without its line break. White space,
// control bytes and "\" in the ID are written as \xNN, so that an ID sent
// by a client cannot break or forge a line.
std::string FormatLogLine(std::time_t when, const char* kind, const std::string& id,
                          const std::string& status, std::size_t reply_bytes, long connection);

class RequestLog {
public:
    explicit RequestLog(std::FILE* out) : out_(out) {}

    // With `fault`, the line ends in " fault=<kind>": the reply was played
    // as that fault, not sent as logged.
    void Request(const char* kind, const std::string& id, const std::string& status,
                 std::size_t reply_bytes, long connection, const char* fault = nullptr);

    // A diagnostic that goes with a failed request: "<ISO time> error: <text>".
    void Error(const std::string& text);

private:
    void WriteLine(const std::string& line);

    std::FILE* out_;
    std::mutex mutex_;
};

}  // namespace service
}  // namespace nalpoicomm

#endif
