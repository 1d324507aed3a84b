// The one way the library parses XML text (a reply, the service
// configuration file): TinyXML's parse, guarded. A text nested deeper than
// kMaxXmlNesting is not parsed at all, since TinyXML's parser, printer and
// destructor recurse once per level; and the text is parsed from a copy
// with zero bytes after its end, since in UTF-8 text TinyXML steps over a
// multi-byte sequence by its lead byte alone, up to three bytes on, even
// past a terminator inside the sequence.
#ifndef NALPOICOMM_XML_GUARDED_PARSE_H
#define NALPOICOMM_XML_GUARDED_PARSE_H

#include <tinyxml.h>

#include "xml/xml_nesting.h"

namespace nalpoicomm {

// Parses `text` (up to its terminating zero; null reads as empty text) into
// `document` with the encoding left for TinyXML to detect. False, with the
// document left empty, when the text is nested too deeply to be parsed.
// TinyXML's own verdict is in document.Error(): after a syntax error the
// document holds what TinyXML built before it.
bool GuardedParse(TiXmlDocument& document, const char* text);

}  // namespace nalpoicomm

#endif
