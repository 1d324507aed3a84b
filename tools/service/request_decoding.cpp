#include "request_decoding.h"

#include <tinyxml.h>

#include "nalpoicomm_seam.h"
#include "xml_well_formedness.h"

namespace nalpoicomm {
namespace service {
namespace {

bool IsLineSpace(char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t'; }

// Base64 text as RFC 4648 writes it, with line breaks anywhere: whole
// four-character groups of the alphabet the client's decoder takes, "="
// only as the padding at the end. The client's own decoder would take
// anything, but a body that is not base64 at all is not a request.
bool IsBase64Text(const std::string& body) {
    std::size_t letters = 0;
    std::size_t pads = 0;
    for (char c : body) {
        if (IsLineSpace(c)) continue;
        if (c == '=') {
            ++pads;
        } else if (IsBase64Character(c) && pads == 0) {
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

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// Takes `piece` off the front of `rest`.
bool Take(std::string& rest, const std::string& piece) {
    if (rest.compare(0, piece.size(), piece) != 0) return false;
    rest.erase(0, piece.size());
    return true;
}

// The field up to the next fixed piece, which is taken off too.
bool TakeFieldUpTo(std::string& rest, const std::string& piece, std::string& field) {
    const std::size_t end = rest.find(piece);
    if (end == std::string::npos) return false;
    field = rest.substr(0, end);
    rest.erase(0, end + piece.size());
    return true;
}

// The client writes its requests as a fixed concatenation of pieces and the
// caller's fields, unescaped: a Name with "&" or "<" makes a document that
// is not well-formed XML. Such a request is read by its pieces: each field
// runs to the first occurrence of the piece after it, the last one to the
// document's fixed end. No zero byte: the client never sends one.
bool ReadByFixedPieces(const std::string& document, DecodedRequest& request) {
    if (document.find('\0') != std::string::npos) return false;
    std::string rest = document;
    if (!Take(rest, kDeclaration)) return false;
    DecodedRequest read;
    if (Take(rest, "<Poi><Type>")) {
        const std::string end = "</Name></Poi>";
        if (rest.size() < end.size() || rest.compare(rest.size() - end.size(), end.size(), end) != 0) {
            return false;
        }
        rest.erase(rest.size() - end.size());
        if (!TakeFieldUpTo(rest, "</Type><Time>", read.type) ||
            !TakeFieldUpTo(rest, "</Time><ID>", read.time) ||
            !TakeFieldUpTo(rest, "</ID><Name>", read.id)) {
            return false;
        }
        read.name = rest;
        read.kind = RequestKind::kUpdate;
        read.understood = !read.id.empty();
    } else if (Take(rest, "<Bat><Type>")) {
        const std::string end = "</Time></Bat>";
        if (rest.size() < end.size() || rest.compare(rest.size() - end.size(), end.size(), end) != 0) {
            return false;
        }
        rest.erase(rest.size() - end.size());
        if (!TakeFieldUpTo(rest, "</Type><Time>", read.type)) return false;
        read.time = rest;
        read.kind = RequestKind::kBatch;
        read.understood = true;
    } else {
        return false;
    }
    request = read;
    return true;
}

}  // namespace

DecodedRequest DecodeRequest(const std::string& body) {
    DecodedRequest request;
    if (!IsBase64Text(body)) return request;

    const std::string document = Base64Decode(body);
    if (ReadByFixedPieces(document, request)) return request;
    // Any other writer's document is read as XML, and must be well-formed.
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
