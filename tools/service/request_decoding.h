// Turns a POST body into a request the service can answer: checks the
// base64 text, decodes it and reads the fields: by the fixed pieces the
// client writes (its fields are not escaped), or else with TinyXML once the
// document has proved well-formed.
#ifndef NALPOI_SERVICE_REQUEST_DECODING_H
#define NALPOI_SERVICE_REQUEST_DECODING_H

#include <string>

namespace nalpoicomm {
namespace service {

enum class RequestKind {
    kUpdate,    // root Poi
    kBatch,     // root Bat
    kUnknown,   // no base64 text, or no Poi or Bat start tag first
};

struct DecodedRequest {
    RequestKind kind = RequestKind::kUnknown;
    // Well-formed, and holds what its kind needs: an ID with text for an
    // update, a Time element (empty or not) for a batch.
    bool understood = false;
    std::string type;
    std::string time;
    std::string id;     // updates only
    std::string name;   // updates only
};

// Never fails: whatever the body holds ends up as a kind and a verdict.
// The kind is taken from the first start tag even when the document is
// ill-formed further on, so that such a request gets its own kind's reply.
DecodedRequest DecodeRequest(const std::string& body);

}  // namespace service
}  // namespace nalpoicomm

#endif
