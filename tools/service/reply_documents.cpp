#include "reply_documents.h"

#include <memory>
#include <utility>

#include "nalpoicomm_seam.h"

namespace nalpoicomm {
namespace service {
namespace {

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

void AppendEscaped(std::string& out, const std::string& text) {
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c; break;
        }
    }
}

void AppendElement(std::string& out, const char* name, const std::string& text) {
    out += '<';
    out += name;
    out += '>';
    AppendEscaped(out, text);
    out += "</";
    out += name;
    out += '>';
}

// <Pri> with one <Item> per entry, at most the client's three slots.
void AppendPri(std::string& out, const std::vector<PriEntry>& pri) {
    out += "<Pri>";
    for (std::size_t slot = 0; slot < pri.size() && slot < kPriSlots; ++slot) {
        out += "<Item>";
        AppendElement(out, "Name", pri[slot].name);
        AppendElement(out, "Mark", pri[slot].mark);
        AppendElement(out, "Agr", pri[slot].agr);
        AppendElement(out, "Bref", pri[slot].bref);
        out += "</Item>";
    }
    out += "</Pri>";
}

std::string StatusDocument(const char* root, const char* statuses) {
    return std::string(kDeclaration) + '<' + root + '>' + statuses + "</" + root + '>';
}

}  // namespace

std::string UpdateFoundDocument(const Poi& poi) {
    std::string out = std::string(kDeclaration) + "<Poi><Status>1</Status>";
    AppendElement(out, "Tel", poi.tel);
    AppendElement(out, "Addr", poi.addr);
    AppendElement(out, "Time", poi.time);
    AppendElement(out, "Con", poi.con);
    AppendPri(out, poi.pri);
    out += "</Poi>";
    return out;
}

std::string UpdateUnknownIdDocument() { return StatusDocument("Poi", "<Status>0</Status>"); }

std::string UpdateNotUnderstoodDocument() { return StatusDocument("Poi", "<Status>2</Status>"); }

std::string BatchNotUnderstoodDocument() { return StatusDocument("Bat", "<Status>0</Status>"); }

std::string KindUnknownDocument() {
    return StatusDocument("Poi", "<Status>2</Status><Status>0</Status>");
}

std::string EncodeReplyBody(const std::string& document) {
    const std::unique_ptr<char[]> encoded(
        Base64Encode(reinterpret_cast<const unsigned char*>(document.data()),
                     static_cast<std::uint32_t>(document.size())));
    return std::string(encoded.get());
}

std::size_t EncodedReplyBytes(std::size_t document_bytes) {
    return Base64EncodedLength(static_cast<std::uint32_t>(document_bytes));
}

BatchReplyDocument::BatchReplyDocument(std::string since) : time_(std::move(since)) {}

void BatchReplyDocument::Append(Sections& sections, const HotelRevision& revision) {
    std::string item = "<Hotel>";
    AppendElement(item, "ID", revision.id);
    if (revision.change == HotelChange::kDelete) {
        AppendElement(item, "HN", revision.name);
    } else {
        AppendElement(item, "Tel", revision.tel);
        AppendElement(item, "Addr", revision.addr);
        AppendElement(item, "HN", revision.name);
        AppendElement(item, "Con", revision.con);
        AppendPri(item, revision.pri);
    }
    item += "</Hotel>";
    switch (revision.change) {
        case HotelChange::kAdd:
            sections.added += item;
            ++sections.added_count;
            break;
        case HotelChange::kDelete:
            sections.deleted += item;
            ++sections.deleted_count;
            break;
        case HotelChange::kUpdate:
            sections.updated += item;
            ++sections.updated_count;
            break;
    }
}

std::string BatchReplyDocument::Render(const std::string& time, const Sections& sections) {
    std::string out = std::string(kDeclaration) + "<Bat><Status>1</Status>";
    AppendElement(out, "Time", time);
    out += "<NumA Add=\"" + std::to_string(sections.added_count) + "\">" + sections.added +
           "</NumA>";
    out += "<NumD Del=\"" + std::to_string(sections.deleted_count) + "\">" + sections.deleted +
           "</NumD>";
    out += "<NumU Upd=\"" + std::to_string(sections.updated_count) + "\">" + sections.updated +
           "</NumU>";
    out += "</Bat>";
    return out;
}

bool BatchReplyDocument::Fits(const std::string& time, const Sections& sections) {
    return EncodedReplyBytes(Render(time, sections).size()) <= kMaxReplyBodyBytes;
}

bool BatchReplyDocument::AddGroup(const std::vector<HotelRevision>& group) {
    if (group.empty()) return true;
    Sections grown = sections_;
    for (const HotelRevision& revision : group) Append(grown, revision);
    if (!Fits(group.front().time, grown)) return false;
    sections_ = std::move(grown);
    time_ = group.front().time;
    return true;
}

std::size_t BatchReplyDocument::AddWhatFits(const std::vector<HotelRevision>& group) {
    std::size_t taken = 0;
    for (const HotelRevision& revision : group) {
        Sections grown = sections_;
        Append(grown, revision);
        if (!Fits(revision.time, grown)) break;
        sections_ = std::move(grown);
        time_ = revision.time;
        ++taken;
    }
    return taken;
}

std::string BatchReplyDocument::Document() const { return Render(time_, sections_); }

}  // namespace service
}  // namespace nalpoicomm
