#include "request_decoding.h"

#include <tinyxml.h>

#include "encoding/base64.h"
#include "xml_well_formedness.h"

namespace nalpoicomm {
namespace service {
namespace {

bool IsBase64Letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '+' || c == '/';
}

bool IsLineSpace(char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t'; }

// Base64 text as RFC 4648 writes it, with line breaks anywhere: whole
// four-character groups, "=" only as the padding at the end. The client's
// own decoder would take anything, but a body that is not base64 at all is
// not a request.
bool IsBase64Text(const std::string& body) {
    std::size_t letters = 0;
    std::size_t pads = 0;
    for (char c : body) {
        if (IsLineSpace(c)) continue;
        if (c == '=') {
            ++pads;
        } else if (IsBase64Letter(c) && pads == 0) {
            ++letters;
        } else {
            return false;
        }
    }
    const std::size_t characters = letters + pads;
    return letters > 0 && pads <= 2 && characters % 4 == 0;
}

RequestKind KindOfRoot(const std::string& root_name) {
    if (root_name == "Poi") return RequestKind::kUpdate;
    if (root_name == "Bat") return RequestKind::kBatch;
    return RequestKind::kUnknown;
}

// Text of the root's first child element `name`; false when there is none.
bool ChildText(const TiXmlElement& root, const char* name, std::string& text) {
    const TiXmlElement* child = root.FirstChildElement(name);
    if (child == nullptr) return false;
    const char* value = child->GetText();
    text = value != nullptr ? value : "";
    return true;
}

}  // namespace

DecodedRequest DecodeRequest(const std::string& body) {
    DecodedRequest request;
    if (!IsBase64Text(body)) return request;

    const std::string document = Base64Decode(body);
    const XmlCheck check = CheckWellFormed(document);
    request.kind = KindOfRoot(check.root_name);
    // TinyXML reads up to a zero byte; one inside the document would hide
    // the rest of it from the field reader.
    const bool has_zero_byte = document.find('\0') != std::string::npos;
    if (request.kind == RequestKind::kUnknown || !check.well_formed || has_zero_byte) {
        return request;
    }

    TiXmlDocument parsed;
    parsed.Parse(document.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    const TiXmlElement* root = parsed.FirstChildElement();
    if (parsed.Error() || root == nullptr || check.root_name != root->Value()) {
        return request;
    }

    ChildText(*root, "Type", request.type);
    const bool has_time = ChildText(*root, "Time", request.time);
    if (request.kind == RequestKind::kUpdate) {
        ChildText(*root, "Name", request.name);
        request.understood = ChildText(*root, "ID", request.id) && !request.id.empty();
    } else {
        request.understood = has_time;
    }
    return request;
}

}  // namespace service
}  // namespace nalpoicomm
