#include "reply/update_reply_parser.h"

#include <cstring>

#include "reply/element_text.h"
#include "reply/pri_slots.h"

namespace nalpoicomm {

int ParseUpdateReply(const char* replyText, const char* cachePath, __POICONTENT__& content) {
    std::memset(&content, 0, sizeof content);
    const ReplyDocument document(replyText, cachePath);
    const TiXmlElement* root = document.Root();
    if (root == nullptr) return kReplyHasNoElement;

    for (const TiXmlElement* child = root->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        const ElementName name(*child);
        const char* text = child->GetText();
        if (name.Is("Time")) {
            if (text != nullptr) CopyFieldText(content.Time, text);
        } else if (name.Is("Status")) {
            const StatusText status(*child);
            if (status.Is("0")) return kUpdateStatusZero;
            if (status.Is("2")) return kUpdateStatusTwo;
        } else if (name.Is("Con")) {
            if (text != nullptr) ReplaceHeapText(content.Con, text);
        } else if (name.Is("Pri")) {
            ReadPriSlots(*child, content.Pri);
        } else if (name.Is("Tel")) {
            if (text != nullptr) CopyFieldText(content.Tel, text);
        } else if (name.Is("Addr")) {
            if (text != nullptr) CopyFieldText(content.Addr, text);
        }
    }
    return kUpdateReplyRead;
}

}  // namespace nalpoicomm
