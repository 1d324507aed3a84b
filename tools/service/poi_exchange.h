// One exchange of the protocol, apart from HTTP: a request body in, the
// reply body out, with what the request log needs to know about it.
#ifndef NALPOI_SERVICE_POI_EXCHANGE_H
#define NALPOI_SERVICE_POI_EXCHANGE_H

#include <string>

#include "poi_database.h"
#include "request_decoding.h"

namespace nalpoicomm {
namespace service {

struct ExchangeOutcome {
    RequestKind kind = RequestKind::kUnknown;
    std::string id;       // the update's ID as sent; empty for the others
    std::string status;   // the reply's Status text(s): "1", "0", "2" or "2/0"
    std::string body;     // base64 reply body, at most kMaxReplyBodyBytes
};

// Answers `request_body`. Throws DatabaseError when the store fails; every
// request, however malformed, otherwise gets a reply.
ExchangeOutcome AnswerRequest(const std::string& request_body, PoiDatabase& db);

}  // namespace service
}  // namespace nalpoicomm

#endif
