#include "xml/guarded_parse.h"

#include <cstring>
#include <vector>

namespace nalpoicomm {
namespace {

// Zero bytes parsed after the text's own terminator: where TinyXML's steps
// over a cut multi-byte sequence land, instead of bytes beyond the block.
constexpr std::size_t kParsePadding = 4;

}  // namespace

bool GuardedParse(TiXmlDocument& document, const char* text) {
    if (text == nullptr) text = "";
    if (MeasureXmlNesting(text) > kMaxXmlNesting) return false;
    const std::size_t length = std::strlen(text);
    std::vector<char> padded(length + 1 + kParsePadding, 0);
    std::memcpy(padded.data(), text, length);
    document.Parse(padded.data(), nullptr, TIXML_DEFAULT_ENCODING);
    return true;
}

}  // namespace nalpoicomm
