#include "reply/batch_reply_parser.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

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

// The heap text of a record that is not handed out after all.
void ReleaseUnhandedText(__ADDHOTEL__& record) {
    std::free(record.Con);
    record.Con = nullptr;
}
void ReleaseUnhandedText(__UPDHOTEL__& record) {
    std::free(record.Con);
    record.Con = nullptr;
}
void ReleaseUnhandedText(__DELHOTEL__&) {}

// A scratch record that frees a `Con` text it still holds when it goes:
// a text whose item was never appended was never handed out.
template <typename Hotel>
struct ScratchRecord {
    ScratchRecord() { Clear(); }
    ~ScratchRecord() { ReleaseUnhandedText(record); }
    ScratchRecord(const ScratchRecord&) = delete;
    ScratchRecord& operator=(const ScratchRecord&) = delete;
    void Clear() { std::memset(&record, 0, sizeof record); }
    Hotel record;
};

// Appends a bytewise copy of `scratch`, alignment gap included, to `list`;
// the list then owns its `Con` text.
template <typename Hotel>
void AppendCopy(std::vector<Hotel>& list, ScratchRecord<Hotel>& scratch) {
    list.emplace_back();
    std::memcpy(&list.back(), &scratch.record, sizeof scratch.record);
    scratch.Clear();
}

template <typename Hotel>
void ReadSection(const TiXmlElement& section, const char* countName, std::int32_t& count,
                 std::vector<Hotel>& list, void (*readItem)(const TiXmlElement*, Hotel&)) {
    count = ReadCount(section, countName);
    const std::unique_ptr<ScratchRecord<Hotel>> scratch(new ScratchRecord<Hotel>);
    // The count decides how many items are read; items past it are ignored,
    // and a section that holds fewer ends at its last one.
    const TiXmlElement* item = section.FirstChildElement();
    for (std::int32_t read = 0; read < count && item != nullptr; ++read) {
        readItem(item, scratch->record);
        AppendCopy(list, *scratch);
        item = item->NextSiblingElement();
    }
}

// Cuts `list` back to `length` entries, freeing the texts of the records
// cut off. Erasing from the end never allocates.
template <typename Hotel>
void CutBack(std::vector<Hotel>& list, std::size_t length) {
    for (std::size_t i = length; i < list.size(); ++i) ReleaseUnhandedText(list[i]);
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(length), list.end());
}

void ReadContent(const TiXmlElement& root, std::vector<__ADDHOTEL__>& added,
                 std::vector<__DELHOTEL__>& deleted, std::vector<__UPDHOTEL__>& updated,
                 BatchTotals totals) {
    std::int32_t (&counts)[3] = totals.counts;
    for (const TiXmlElement* child = root.FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        const ElementName name(*child);
        if (name.Is("Time")) {
            const char* text = child->GetText();
            if (text != nullptr) CopyFieldText(totals.time, text);
        } else if (name.Is("NumA")) {
            ReadSection(*child, "Add", counts[kAddedCount], added, &ReadAddItem);
        } else if (name.Is("NumD")) {
            ReadSection(*child, "Del", counts[kDeletedCount], deleted, &ReadDelItem);
        } else if (name.Is("NumU")) {
            ReadSection(*child, "Upd", counts[kUpdatedCount], updated, &ReadUpdItem);
        }
    }
}

}  // namespace

int ParseBatchReply(const char* replyText, const char* cachePath, std::vector<__ADDHOTEL__>& added,
                    std::vector<__DELHOTEL__>& deleted, std::vector<__UPDHOTEL__>& updated,
                    BatchTotals totals) {
    const ReplyDocument document(replyText, cachePath);
    const TiXmlElement* root = document.Root();
    if (root == nullptr) return kReplyHasNoElement;
    if (StatusRefusesReply(*root)) return kBatchStatusZero;

    // What a failure part-way must put back: a reply is taken whole or not at all.
    const std::size_t addedLength = added.size();
    const std::size_t deletedLength = deleted.size();
    const std::size_t updatedLength = updated.size();
    char batchTime[kBatchTimeSize];
    std::int32_t hotelCounts[3];
    std::memcpy(batchTime, totals.time, sizeof batchTime);
    std::memcpy(hotelCounts, totals.counts, sizeof hotelCounts);
    try {
        ReadContent(*root, added, deleted, updated, totals);
    } catch (...) {
        CutBack(added, addedLength);
        CutBack(deleted, deletedLength);
        CutBack(updated, updatedLength);
        std::memcpy(totals.time, batchTime, sizeof batchTime);
        std::memcpy(totals.counts, hotelCounts, sizeof hotelCounts);
        throw;
    }
    return kBatchReplyTaken;
}

}  // namespace nalpoicomm
