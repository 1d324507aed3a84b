#include "http_front_end.h"

#include <httplib.h>

#include <exception>
#include <utility>

#include "poi_database.h"
#include "poi_exchange.h"
#include "request_log.h"

namespace nalpoicomm {
namespace service {
namespace {

constexpr int kNotFound = 404;
constexpr int kInternalError = 500;
// The client's largest request is a few hundred bytes; anything far past
// that is refused (413) before it is read into memory.
constexpr std::size_t kMaxRequestBodyBytes = 64 * 1024;
// Not text/*: cpp-httplib would gzip a text reply for a client that accepts
// it, and the client's Content-Length gate and decoder expect plain base64.
constexpr const char* kReplyContentType = "application/octet-stream";

const char* KindName(RequestKind kind) {
    switch (kind) {
        case RequestKind::kUpdate: return "update";
        case RequestKind::kBatch: return "batch";
        case RequestKind::kUnknown: return "bad";
    }
    return "bad";
}

}  // namespace

HttpFrontEnd::HttpFrontEnd(PoiDatabase& db, RequestLog& log, std::string path)
    : db_(db), log_(log), path_(std::move(path)), server_(std::make_unique<httplib::Server>()) {
    server_->set_payload_max_length(kMaxRequestBodyBytes);

    // Every POST comes here; the path is compared as text rather than
    // handed to cpp-httplib, which would read it as a regular expression.
    server_->Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
        if (request.path != path_) {
            response.status = kNotFound;
            return;
        }
        try {
            const ExchangeOutcome outcome = AnswerRequest(request.body, db_);
            response.status = 200;
            response.set_content(outcome.body, kReplyContentType);
            log_.Request(KindName(outcome.kind), outcome.id, outcome.status, outcome.body.size());
        } catch (const std::exception& failure) {
            response.status = kInternalError;
            log_.Error(failure.what());
            log_.Request("bad", "", std::to_string(kInternalError), 0);
        }
    });

    // Responses the POST handler did not log: other paths and methods, and
    // requests cpp-httplib refused itself (400, 413). They carry no body.
    server_->set_error_handler([this](const httplib::Request&, httplib::Response& response) {
        if (response.status != kInternalError) {
            log_.Request("bad", "", std::to_string(response.status), response.body.size());
        }
    });
}

HttpFrontEnd::~HttpFrontEnd() = default;

int HttpFrontEnd::Bind(const std::string& host, int port) {
    if (port == 0) return server_->bind_to_any_port(host);
    return server_->bind_to_port(host, port) ? port : -1;
}

bool HttpFrontEnd::Serve() { return server_->listen_after_bind(); }

void HttpFrontEnd::Stop() { server_->stop(); }

}  // namespace service
}  // namespace nalpoicomm
