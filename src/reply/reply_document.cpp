#include "reply/reply_document.h"

#include <cstdio>
#include <string>

#include "platform/whole_file.h"
#include "xml/guarded_parse.h"
#include "xml/xml_print.h"

namespace nalpoicomm {
namespace {

void SaveFilePrint(std::FILE* stream, const void* document) {
    static_cast<const TiXmlDocument*>(document)->SaveFile(stream);
}

}  // namespace

ReplyDocument::ReplyDocument(const char* replyText, const char* cachePath)
    : document_(cachePath) {
    if (replyText == nullptr) replyText = "";
    // Neither verdict of the parse stops the call: a reply too deep stays
    // an empty document (no element), and after a syntax error the parsers
    // read what TinyXML built before it.
    const bool parsed = GuardedParse(document_, replyText);
    // The bytes SaveFile() writes, whole or not at all: a cache that cannot
    // be written is left empty, never holding the previous reply as if it
    // were this one. No path fails the save, as it would fail SaveFile();
    // neither failure is reported, as SaveFile()'s is not.
    if (cachePath[0] == 0) return;
    std::string printed;
    bool inMemory = false;
    try {
        inMemory = AppendSaveFilePrint(document_, replyText, parsed, printed);
    } catch (...) {
        WriteTextFile(cachePath, nullptr, 0);  // no print: empty, not the previous reply
        throw;
    }
    if (inMemory) {
        WriteTextFile(cachePath, printed.data(), printed.size());
    } else {
        WritePrintedFile(cachePath, &SaveFilePrint, &document_);  // TinyXML prints it itself
    }
}

}  // namespace nalpoicomm
