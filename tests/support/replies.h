// Replies as a POI service sends them: an XML document, base64-encoded, as
// the body of an HTTP response with its Content-Length.
#ifndef NALPOICOMM_TESTS_SUPPORT_REPLIES_H
#define NALPOICOMM_TESTS_SUPPORT_REPLIES_H

#include <string>

#include "support/test_http_server.h"

namespace testsupport {

std::string Base64(const std::string& bytes);
std::string FromBase64(const std::string& text);

// "HTTP/1.1 200 OK" with the encoded document as its body.
std::string EncodedReply(const std::string& document, int status = 200);

// A script that answers every request with `document`.
ReplyScript AnswerWith(const std::string& document);

// What TinyXML itself writes for `text` with SaveFile() after the library's
// guarded parse (a text nested too deeply prints nothing).
std::string TinyXmlSaved(const std::string& text);

}  // namespace testsupport

#endif
