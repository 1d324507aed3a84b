#include "reply/pri_slots.h"

#include <cstring>

#include "reply/element_text.h"

namespace nalpoicomm {
namespace {

// Inside a slot the field names are compared directly, without the name buffer.
void ReadSlot(const TiXmlElement& slotElement, __PRIITEM__& slot) {
    for (const TiXmlElement* field = slotElement.FirstChildElement(); field != nullptr;
         field = field->NextSiblingElement()) {
        const char* name = field->Value();
        const char* text = field->GetText();
        if (text == nullptr) continue;
        if (std::strcmp(name, "Name") == 0) {
            CopyFieldText(slot.Name, text);
        } else if (std::strcmp(name, "Mark") == 0) {
            CopyFieldText(slot.Mark, text);
        } else if (std::strcmp(name, "Agr") == 0) {
            CopyFieldText(slot.Agr, text);
        } else if (std::strcmp(name, "Bref") == 0) {
            CopyFieldText(slot.Bref, text);
        }
    }
}

}  // namespace

void ReadPriSlots(const TiXmlElement& pri, __PRIITEM__ (&slots)[kPriSlots]) {
    const TiXmlElement* slotElement = pri.FirstChildElement();
    for (std::size_t slot = 0; slot < kPriSlots && slotElement != nullptr; ++slot) {
        ReadSlot(*slotElement, slots[slot]);
        slotElement = slotElement->NextSiblingElement();
    }
}

}  // namespace nalpoicomm
