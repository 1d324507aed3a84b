#include "reply/reply_document.h"

#include <cstring>
#include <vector>

#include "reply/reply_nesting.h"

namespace nalpoicomm {
namespace {

// Zero bytes parsed after the reply's own terminator. In UTF-8 text TinyXML
// steps over a multi-byte sequence by its lead byte alone, up to three bytes
// on, even past a terminator inside the sequence; the padding gives those
// steps zeros to land on, where TinyXML stops, instead of bytes beyond the
// reply's block.
constexpr std::size_t kParsePadding = 4;

const char* FormedCachePath(char (&path)[kPathChars]) {
    FormConfigPath(kReplyCacheFormat, path);  // empty on failure: the save then fails
    return path;
}

}  // namespace

ReplyDocument::ReplyDocument(const char* replyText) : document_(FormedCachePath(path_)) {
    if (replyText == nullptr) replyText = "";
    if (MeasureReplyNesting(replyText) <= kMaxReplyNesting) {
        const std::size_t length = std::strlen(replyText);
        std::vector<char> padded(length + 1 + kParsePadding, 0);
        std::memcpy(padded.data(), replyText, length);
        // The result is not examined: after a syntax error the document holds
        // what TinyXML built before it, and the parsers read that.
        document_.Parse(padded.data(), nullptr, TIXML_DEFAULT_ENCODING);
    }
    document_.SaveFile();
}

}  // namespace nalpoicomm
