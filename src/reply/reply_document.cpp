#include "reply/reply_document.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/whole_file.h"
#include "xml/guarded_parse.h"
#include "xml/xml_print.h"

namespace nalpoicomm {
namespace {

void SaveFilePrint(std::FILE* stream, const void* document) {
    static_cast<const TiXmlDocument*>(document)->SaveFile(stream);
}

bool StartsWithByteOrderMark(const char* text) {
    return std::strncmp(text, "\xEF\xBB\xBF", 3) == 0;
}

}  // namespace

ReplyDocument::ReplyDocument(const char* replyText, const char* cachePath)
    : document_(cachePath) {
    if (replyText == nullptr) replyText = "";
    // Neither verdict of the parse is examined: a reply too deep stays an
    // empty document (no element), and after a syntax error the parsers
    // read what TinyXML built before it.
    const bool parsed = GuardedParse(document_, replyText);
    // The bytes SaveFile() writes, whole or not at all: a cache that cannot
    // be written is left empty, never holding the previous reply as if it
    // were this one. No path fails the save, as it would fail SaveFile();
    // neither failure is reported, as SaveFile()'s is not.
    if (cachePath[0] == 0) return;
    // A zero byte in a text would end it early for the in-memory print:
    // TinyXML prints the few replies that may hold one itself.
    if (MayPutZeroBytesInTexts(replyText)) {
        WritePrintedFile(cachePath, &SaveFilePrint, &document_);
        return;
    }
    std::string printed;
    try {
        printed.reserve(2 * std::strlen(replyText) + 16);  // the print indents: room for most
        // SaveFile() writes the mark when the parse found it at the start.
        if (parsed && StartsWithByteOrderMark(replyText)) printed = "\xEF\xBB\xBF";
        AppendSaveFilePrint(document_, printed);
    } catch (...) {
        WriteTextFile(cachePath, nullptr, 0);  // no print: empty, not the previous reply
        throw;
    }
    WriteTextFile(cachePath, printed.data(), printed.size());
}

}  // namespace nalpoicomm
