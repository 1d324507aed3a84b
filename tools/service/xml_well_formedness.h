// A strict well-formedness check for request documents. TinyXML is lenient
// where the protocol needs a verdict: it drops a stray "&", ignores text
// after the root and accepts a second root, so a request passes this check
// before TinyXML reads its fields.
#ifndef NALPOI_SERVICE_XML_WELL_FORMEDNESS_H
#define NALPOI_SERVICE_XML_WELL_FORMEDNESS_H

#include <string>

namespace nalpoicomm {
namespace service {

struct XmlCheck {
    bool well_formed = false;
    // Name of the first element, whenever the scan got as far as its start
    // tag, even in a document that is ill-formed further on.
    std::string root_name;
};

// Checks `text` against XML 1.0 without a document type declaration: an
// optional byte-order mark and declaration, one root element, balanced and
// matching tags, quoted attributes without duplicates, "&" only in the five
// predefined or numeric references, no "<" in text or attribute values, no
// control characters, and only comments, processing instructions and white
// space outside the root. Nesting deeper than a request ever needs is
// refused. Bytes from 0x80 up pass as they are.
XmlCheck CheckWellFormed(const std::string& text);

}  // namespace service
}  // namespace nalpoicomm

#endif
