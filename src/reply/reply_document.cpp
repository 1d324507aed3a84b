#include "reply/reply_document.h"

#include <cstdio>

#include "platform/whole_file.h"
#include "xml/guarded_parse.h"

namespace nalpoicomm {
namespace {

void PrintDocument(std::FILE* stream, const void* document) {
    static_cast<const TiXmlDocument*>(document)->SaveFile(stream);
}

// Writes the bytes SaveFile() writes, whole or not at all: a cache that
// cannot be written is left empty, never holding the previous reply as if
// it were this one. The result is not reported, as SaveFile()'s is not.
void SaveToCacheFile(const TiXmlDocument& document, const char* path) {
    if (path[0] == 0) return;  // no path: the save fails, as SaveFile() would
    WritePrintedFile(path, &PrintDocument, &document);
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
