#include "xml/guarded_parse.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace nalpoicomm {
namespace {

// Zero bytes parsed after the text's own terminator: where TinyXML's steps
// over a cut multi-byte sequence land, instead of bytes beyond the block.
constexpr std::size_t kParsePadding = 4;

// Every element TinyXML builds begins at a '<' of the text, so a text with
// few of them cannot nest deeply: the full measure is needed only beyond.
bool MayNestTooDeeply(const char* text, std::size_t length) {
    return static_cast<std::size_t>(std::count(text, text + length, '<')) > kMaxXmlNesting &&
           MeasureXmlNesting(text) > kMaxXmlNesting;
}

}  // namespace

bool GuardedParse(TiXmlDocument& document, const char* text) {
    if (text == nullptr) text = "";
    const std::size_t length = std::strlen(text);
    if (MayNestTooDeeply(text, length)) return false;
    std::vector<char> padded(length + 1 + kParsePadding, 0);
    std::memcpy(padded.data(), text, length);
    document.Parse(padded.data(), nullptr, TIXML_DEFAULT_ENCODING);
    return true;
}

}  // namespace nalpoicomm
