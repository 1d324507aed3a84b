#include "support/replies.h"

#include <tinyxml.h>

#include <memory>

#include "encoding/base64.h"
#include "xml/guarded_parse.h"
#include "support/install_tree.h"

namespace testsupport {

std::string Base64(const std::string& bytes) {
    std::unique_ptr<char[]> block(nalpoicomm::Base64Encode(
        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<uint32_t>(bytes.size())));
    return block.get();
}

std::string FromBase64(const std::string& text) { return nalpoicomm::Base64Decode(text); }

std::string EncodedReply(const std::string& document, int status) {
    return HttpResponse(status, Base64(document));
}

ReplyScript AnswerWith(const std::string& document) {
    return {ReplyStep::Send(EncodedReply(document))};
}

std::string TinyXmlSaved(const std::string& text) {
    const std::string path = ConfigDir() + "/expected-print.xml";
    {
        TiXmlDocument document(path.c_str());
        nalpoicomm::GuardedParse(document, text.c_str());
        document.SaveFile();
    }
    std::string saved = ReadFile(path);
    RemoveFile(path);
    return saved;
}

}  // namespace testsupport
