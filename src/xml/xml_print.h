// TinyXML's print of a document, as TiXmlDocument::SaveFile() writes it,
// made in memory: the same bytes without a formatted stdio call per node.
#ifndef NALPOICOMM_XML_XML_PRINT_H
#define NALPOICOMM_XML_XML_PRINT_H

#include <tinyxml.h>

#include <string>

namespace nalpoicomm {

// Appends to `out` what SaveFile() prints for `document`, byte order mark
// left out. Texts are read through TinyXML's text interface, which ends
// them at a zero byte: the print is exact for a document whose texts hold
// none, which GuardedParse() makes of every text that
// MayPutZeroBytesInTexts() does not name.
void AppendSaveFilePrint(const TiXmlDocument& document, std::string& out);

// Whether TinyXML's parse of `text` may put a zero byte into a text of the
// document: a numeric character reference (&#0;) can, and so can a
// multi-byte sequence cut off at the end, which TinyXML steps over into the
// zero bytes after the text.
bool MayPutZeroBytesInTexts(const char* text);

}  // namespace nalpoicomm

#endif
