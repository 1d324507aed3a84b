#include "text_report.h"

#include <string>

#include "record_text.h"
#include "result_meanings.h"

namespace nalpoicomm {

namespace {

// Record texts come from the network: control bytes are shown as \xNN so a
// reply cannot move the cursor or recolour the terminal. Line breaks and
// tabs stay, for the Con texts.
std::string Printable(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

template <std::size_t N>
std::string Shown(const char (&field)[N]) {
    return Printable(FieldText(field));
}

void PrintField(std::FILE* out, const char* indent, const char* label, const std::string& text) {
    std::fprintf(out, "%s%-5s %s\n", indent, label, text.c_str());
}

void PrintCon(std::FILE* out, const char* indent, const char* con) {
    PrintField(out, indent, "Con:", con == nullptr ? "(none)" : Printable(con));
}

template <std::size_t Slots>
void PrintPri(std::FILE* out, const char* indent, const __PRIITEM__ (&pri)[Slots]) {
    for (std::size_t slot = 0; slot < Slots; ++slot) {
        const __PRIITEM__& item = pri[slot];
        std::fprintf(out, "%sPri[%zu] Name=\"%s\" Mark=\"%s\" Agr=\"%s\" Bref=\"%s\"\n", indent,
                     slot, Shown(item.Name).c_str(), Shown(item.Mark).c_str(),
                     Shown(item.Agr).c_str(), Shown(item.Bref).c_str());
    }
}

void PrintResult(std::FILE* out, Operation operation, int result) {
    std::fprintf(out, "%s: result %d: %s\n", OperationName(operation), result,
                 ResultMeaning(operation, result));
}

// Added and updated hotels share one layout.
template <typename Hotel>
void PrintHotels(std::FILE* out, const char* title, const std::vector<Hotel>& hotels) {
    std::fprintf(out, "%s: %zu\n", title, hotels.size());
    const char* indent = "      ";
    for (std::size_t i = 0; i < hotels.size(); ++i) {
        const Hotel& hotel = hotels[i];
        std::fprintf(out, "  [%zu] ID:   %s\n", i, Shown(hotel.ID).c_str());
        PrintField(out, indent, "HN:", Shown(hotel.HN));
        PrintField(out, indent, "Tel:", Shown(hotel.Tel));
        PrintField(out, indent, "Addr:", Shown(hotel.Addr));
        PrintCon(out, indent, hotel.Con);
        PrintPri(out, indent, hotel.Pri);
    }
}

}  // namespace

void PrintUpdateText(std::FILE* out, const UpdateOutcome& outcome) {
    PrintResult(out, Operation::Update, outcome.result);
    if (outcome.result != NALPOI_RESULT_OK) return;
    const __POICONTENT__& content = outcome.content;
    const char* indent = "  ";
    PrintField(out, indent, "Tel:", Shown(content.Tel));
    PrintField(out, indent, "Addr:", Shown(content.Addr));
    PrintField(out, indent, "Time:", Shown(content.Time));
    PrintCon(out, indent, content.Con);
    PrintPri(out, indent, content.Pri);
}

void PrintBatchText(std::FILE* out, const BatchOutcome& outcome) {
    PrintResult(out, Operation::Batch, outcome.result);
    if (outcome.result != NALPOI_RESULT_OK) return;
    std::fprintf(out, "time: %s\n", Printable(outcome.time).c_str());
    std::fprintf(out, "counts: NumA=%d NumD=%d NumU=%d\n", outcome.counts.NumA,
                 outcome.counts.NumD, outcome.counts.NumU);
    PrintHotels(out, "added", outcome.added);
    std::fprintf(out, "deleted: %zu\n", outcome.deleted.size());
    for (std::size_t i = 0; i < outcome.deleted.size(); ++i) {
        const __DELHOTEL__& hotel = outcome.deleted[i];
        std::fprintf(out, "  [%zu] ID:   %s\n", i, Shown(hotel.ID).c_str());
        PrintField(out, "      ", "HN:", Shown(hotel.HN));
    }
    PrintHotels(out, "updated", outcome.updated);
}

}  // namespace nalpoicomm
