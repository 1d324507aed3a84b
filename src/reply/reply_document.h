// The document that both reply parsers read: named by the reply cache path,
// parsed from the decoded reply and at once saved to the reply cache file,
// before anything is read from it. Destroyed, with all its nodes, with the
// object, on every way out of a parser.
#ifndef NALPOICOMM_REPLY_REPLY_DOCUMENT_H
#define NALPOICOMM_REPLY_REPLY_DOCUMENT_H

#include <tinyxml.h>

#include "NalPoiComm.h"

namespace nalpoicomm {

// Both parsers' result for a reply in which TinyXML finds no element.
constexpr int kReplyHasNoElement = NALPOI_RESULT_NO_ELEMENT;

class ReplyDocument {
public:
    // Names the document with `cachePath` (the reply cache file), parses
    // `replyText` (null reads as empty text) and saves the document there as
    // SaveFile() would, whose failure is not reported; an empty path just
    // fails the save. A reply nested deeper than kMaxXmlNesting is not parsed
    // at all: the document stays empty (no root, an empty cache file), which
    // keeps TinyXML's recursion off the caller's stack.
    ReplyDocument(const char* replyText, const char* cachePath);

    ReplyDocument(const ReplyDocument&) = delete;
    ReplyDocument& operator=(const ReplyDocument&) = delete;

    // The document's first element, whatever its name, or null when the
    // document holds none.
    const TiXmlElement* Root() const { return document_.FirstChildElement(); }

private:
    TiXmlDocument document_;
};

}  // namespace nalpoicomm

#endif
