#include "reply/reply_document.h"

#include <cstdio>

#include "platform/c_file.h"
#include "xml/guarded_parse.h"

namespace nalpoicomm {
namespace {

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

}  // namespace

ReplyDocument::ReplyDocument(const char* replyText, const char* cachePath)
    : document_(cachePath) {
    // Neither verdict is examined: a reply too deep stays an empty document
    // (no element), and after a syntax error the parsers read what TinyXML
    // built before it.
    GuardedParse(document_, replyText);
    SaveToCacheFile(document_, cachePath);
}

}  // namespace nalpoicomm
