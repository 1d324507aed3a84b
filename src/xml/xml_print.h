// TinyXML's print of a document, as TiXmlDocument::SaveFile() writes it,
// made in memory: the same bytes without a formatted stdio call per node.
#ifndef NALPOICOMM_XML_XML_PRINT_H
#define NALPOICOMM_XML_XML_PRINT_H

#include <tinyxml.h>

#include <string>

namespace nalpoicomm {

// Appends to `out` what SaveFile() writes for `document`, which
// GuardedParse() made of `text` and returned `parsed` for: the byte order
// mark when the parse found one, then the print. Texts are read through
// TinyXML's text interface, which ends them at a zero byte, so a text
// that may hold one (a character reference such as &#0;, or a multi-byte
// sequence cut off at the end, which TinyXML steps over into the zero
// bytes after the text) is left to SaveFile() itself: false, and `out` as
// it was.
bool AppendSaveFilePrint(const TiXmlDocument& document, const char* text, bool parsed,
                         std::string& out);

}  // namespace nalpoicomm

#endif
