// How deep TinyXML would nest the elements of an XML text (a reply, the
// service configuration file), found before the text is parsed. TinyXML's
// parser, printer and destructor recurse once per level without a limit, so
// a small text nested a few thousand levels deep would overflow the stack of
// the thread that parses it.
#ifndef NALPOICOMM_XML_XML_NESTING_H
#define NALPOICOMM_XML_XML_NESTING_H

#include <cstddef>

namespace nalpoicomm {

// Deepest element nesting a text may have: far above the five levels a real
// reply uses, far below the ~1,000 levels that overflow a 256 KiB stack.
constexpr std::size_t kMaxXmlNesting = 100;

// The deepest element nesting (the root is level 1) that TinyXML 2.6 builds
// when it parses `text` with its default settings, or kMaxXmlNesting + 1
// once the nesting passes kMaxXmlNesting. The measure follows TinyXML's own
// reading of the text (quoting, comments, CDATA, entities, UTF-8 sequences,
// the encoding a declaration selects), so it is never below what TinyXML
// builds; on malformed text it may exceed it. Reads `text` only up to its
// terminating zero; its stack use does not grow with the nesting.
std::size_t MeasureXmlNesting(const char* text);

}  // namespace nalpoicomm

#endif
