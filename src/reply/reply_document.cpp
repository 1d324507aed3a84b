#include "reply/reply_document.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "encoding/xml_nesting.h"
#include "platform/c_file.h"

namespace nalpoicomm {
namespace {

// Zero bytes parsed after the reply's own terminator. In UTF-8 text TinyXML
// steps over a multi-byte sequence by its lead byte alone, up to three bytes
// on, even past a terminator inside the sequence; the padding gives those
// steps zeros to land on, where TinyXML stops, instead of bytes beyond the
// reply's block.
constexpr std::size_t kParsePadding = 4;

// Writes the bytes SaveFile() writes, on a stream of our own so that it is
// closed on every way out (TinyXML's printer allocates, and may throw). An
// existing file is overwritten in place and then cut at the length written:
// opening it with "w" would truncate it first, and a file system that
// guards replace-by-truncate then forces its blocks out at the close. Both
// modes are text modes, so Windows writes CR LF line ends either way.
void SaveToCacheFile(const TiXmlDocument& document, const char* path) {
    if (path[0] == 0) return;  // no path: the save fails, as SaveFile() would
    UniqueFile file(std::fopen(path, "r+"));
    if (file == nullptr) file.reset(std::fopen(path, "w"));
    if (file == nullptr) return;
    document.SaveFile(file.get());
    SetFileLength(file.get(), std::ftell(file.get()));
}

const char* FormedCachePath(char (&path)[kPathChars]) {
    FormConfigPath(kReplyCacheFormat, path);  // empty on failure: the save then fails
    return path;
}

}  // namespace

ReplyDocument::ReplyDocument(const char* replyText) : document_(FormedCachePath(path_)) {
    if (replyText == nullptr) replyText = "";
    if (MeasureXmlNesting(replyText) <= kMaxXmlNesting) {
        const std::size_t length = std::strlen(replyText);
        std::vector<char> padded(length + 1 + kParsePadding, 0);
        std::memcpy(padded.data(), replyText, length);
        // The result is not examined: after a syntax error the document holds
        // what TinyXML built before it, and the parsers read that.
        document_.Parse(padded.data(), nullptr, TIXML_DEFAULT_ENCODING);
    }
    SaveToCacheFile(document_, path_);
}

}  // namespace nalpoicomm
