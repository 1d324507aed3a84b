#include "reply/batch_reply_parser.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "interface/exchange_state.h"
#include "reply/element_text.h"
#include "reply/hotel_item_readers.h"

namespace nalpoicomm {
namespace {

// Positions of the three counts in HotelCounts, the order of __HOTELNUM__.
constexpr std::size_t kAddedCount = 0;
constexpr std::size_t kDeletedCount = 1;
constexpr std::size_t kUpdatedCount = 2;

// True when a Status "0" comes before any Status "1".
bool StatusRefusesReply(const TiXmlElement& root) {
    for (const TiXmlElement* child = root.FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        if (!ElementName(*child).Is("Status")) continue;
        const StatusText status(*child);
        if (status.Is("1")) return false;
        if (status.Is("0")) return true;
    }
    return false;
}

// The section's count attribute as atoi reads it: leading white space, a
// sign, the digits up to the first other character, 0 without digits or
// without the attribute. TinyXML's own integer reading overflows undefined;
// here an out-of-range number is held to the nearest 32-bit value.
std::int32_t ReadCount(const TiXmlElement& section, const char* attributeName) {
    const char* text = section.Attribute(attributeName);
    if (text == nullptr) return 0;
    const long value = std::strtol(text, nullptr, 10);  // saturates at LONG_MIN/LONG_MAX
    if (value < std::numeric_limits<std::int32_t>::min()) {
        return std::numeric_limits<std::int32_t>::min();
    }
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(value);
}

// The heap text of a scratch record whose append failed: it was never handed out.
void ReleaseUnhandedText(__ADDHOTEL__& record) {
    std::free(record.Con);
    record.Con = nullptr;
}
void ReleaseUnhandedText(__UPDHOTEL__& record) {
    std::free(record.Con);
    record.Con = nullptr;
}
void ReleaseUnhandedText(__DELHOTEL__&) {}

// Appends a bytewise copy of `scratch`, alignment gap included, to `list`.
template <typename Hotel>
void AppendCopy(std::vector<Hotel>& list, Hotel& scratch) {
    try {
        list.emplace_back();
    } catch (...) {
        ReleaseUnhandedText(scratch);
        throw;
    }
    std::memcpy(&list.back(), &scratch, sizeof scratch);
}

template <typename Hotel>
void ReadSection(const TiXmlElement& section, const char* countName, std::int32_t& count,
                 std::vector<Hotel>& list, void (*readItem)(const TiXmlElement*, Hotel&)) {
    count = ReadCount(section, countName);
    const std::unique_ptr<Hotel> scratch(new Hotel);
    std::memset(scratch.get(), 0, sizeof(Hotel));
    // The count decides how many items are read; items past it are ignored,
    // and a section that holds fewer ends at its last one.
    const TiXmlElement* item = section.FirstChildElement();
    for (std::int32_t read = 0; read < count && item != nullptr; ++read) {
        readItem(item, *scratch);
        AppendCopy(list, *scratch);
        std::memset(scratch.get(), 0, sizeof(Hotel));
        item = item->NextSiblingElement();
    }
}

}  // namespace

int ParseBatchReply(const char* replyText, std::vector<__ADDHOTEL__>& added,
                    std::vector<__DELHOTEL__>& deleted, std::vector<__UPDHOTEL__>& updated) {
    const ReplyDocument document(replyText);
    const TiXmlElement* root = document.Root();
    if (root == nullptr) return kReplyHasNoElement;
    if (StatusRefusesReply(*root)) return kBatchStatusZero;

    std::int32_t (&counts)[3] = ExchangeState.HotelCounts;
    for (const TiXmlElement* child = root->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        const ElementName name(*child);
        if (name.Is("Time")) {
            const char* text = child->GetText();
            if (text != nullptr) CopyFieldText(ExchangeState.BatchTime, text);
        } else if (name.Is("NumA")) {
            ReadSection(*child, "Add", counts[kAddedCount], added, &ReadAddItem);
        } else if (name.Is("NumD")) {
            ReadSection(*child, "Del", counts[kDeletedCount], deleted, &ReadDelItem);
        } else if (name.Is("NumU")) {
            ReadSection(*child, "Upd", counts[kUpdatedCount], updated, &ReadUpdItem);
        }
    }
    return kBatchReplyTaken;
}

}  // namespace nalpoicomm
