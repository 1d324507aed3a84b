#include "reply/hotel_item_readers.h"

#include "reply/element_text.h"
#include "reply/pri_slots.h"

namespace nalpoicomm {
namespace {

// The add and update records share one layout, and their readers one body.
template <typename Hotel>
void ReadHotelItem(const TiXmlElement& item, Hotel& record) {
    for (__PRIITEM__& slot : record.Pri) slot.Name[0] = 0;
    for (const TiXmlElement* child = item.FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        const ElementName name(*child);
        const char* text = child->GetText();
        if (name.Is("Con")) {
            if (text != nullptr) ReplaceHeapText(record.Con, text);
        } else if (name.Is("Pri")) {
            ReadPriSlots(*child, record.Pri);
        } else if (text == nullptr) {
            continue;
        } else if (name.Is("Tel")) {
            CopyFieldText(record.Tel, text);
        } else if (name.Is("Addr")) {
            CopyFieldText(record.Addr, text);
        } else if (name.Is("HN")) {
            CopyFieldText(record.HN, text);
        } else if (name.Is("ID")) {
            CopyFieldText(record.ID, text);
        }
    }
}

}  // namespace

void ReadAddItem(const TiXmlElement* item, __ADDHOTEL__& record) {
    if (item != nullptr) ReadHotelItem(*item, record);
}

void ReadUpdItem(const TiXmlElement* item, __UPDHOTEL__& record) {
    if (item != nullptr) ReadHotelItem(*item, record);
}

void ReadDelItem(const TiXmlElement* item, __DELHOTEL__& record) {
    if (item == nullptr) return;
    for (const TiXmlElement* child = item->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        const ElementName name(*child);
        const char* text = child->GetText();
        if (text == nullptr) continue;
        if (name.Is("HN")) {
            CopyFieldText(record.HN, text);
        } else if (name.Is("ID")) {
            CopyFieldText(record.ID, text);
        }
    }
}

}  // namespace nalpoicomm
