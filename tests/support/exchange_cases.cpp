#include "support/exchange_cases.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include "NalPoiComm.h"
#include "support/record_fields.h"

namespace testsupport {
namespace {

std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
        } else if (text[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else if (text[i + 1] == 'x' && i + 3 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[++i];
        }
    }
    return out;
}

// Bytes as a message shows them: printable ASCII as it is, the rest as \xHH.
std::string Shown(const std::string& bytes) {
    std::string out;
    for (const unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return "\"" + out + "\"";
}

// A fixed field's bytes without the zero bytes that end it: "1" only when
// every byte after the text is zero.
std::string Bytes(const void* field, std::size_t size) {
    const char* bytes = static_cast<const char*>(field);
    while (size > 0 && bytes[size - 1] == 0) --size;
    return std::string(bytes, size);
}

std::string Pointed(const char* text) { return text == nullptr ? "(null)" : std::string(text); }

using Fields = std::map<std::string, std::string>;

void ReadPri(Fields& out, const std::string& prefix, const __PRIITEM__ (&items)[3]) {
    for (int i = 0; i < 3; ++i) {
        const std::string item = prefix + "Pri" + std::to_string(i);
        out[item] = Bytes(&items[i], sizeof items[i]);
        out[item + ".Name"] = Bytes(items[i].Name, sizeof items[i].Name);
        out[item + ".Mark"] = Bytes(items[i].Mark, sizeof items[i].Mark);
        out[item + ".Agr"] = Bytes(items[i].Agr, sizeof items[i].Agr);
        out[item + ".Bref"] = Bytes(items[i].Bref, sizeof items[i].Bref);
    }
}

template <typename Hotel>
void ReadHotels(Fields& out, const char* list, const std::vector<Hotel>& hotels) {
    out[std::string(list) + ".size"] = std::to_string(hotels.size());
    for (std::size_t i = 0; i < hotels.size(); ++i) {
        const std::string prefix = list + std::to_string(i) + ".";
        const Hotel& h = hotels[i];
        out[prefix + "ID"] = Bytes(h.ID, sizeof h.ID);
        out[prefix + "HN"] = Bytes(h.HN, sizeof h.HN);
        if constexpr (!std::is_same_v<Hotel, __DELHOTEL__>) {
            out[prefix + "Tel"] = Bytes(h.Tel, sizeof h.Tel);
            out[prefix + "Con"] = Pointed(h.Con);
            out[prefix + "Addr"] = Bytes(h.Addr, sizeof h.Addr);
            ReadPri(out, prefix, h.Pri);
        }
    }
}

template <typename Hotel>
std::vector<Hotel> PresentHotels(int count) {
    std::vector<Hotel> hotels(static_cast<std::size_t>(count));
    for (Hotel& h : hotels) {
        std::memset(&h, 0, sizeof h);
        Put(h.ID, "old");
        if constexpr (!std::is_same_v<Hotel, __DELHOTEL__>) {
            h.Con = static_cast<char*>(std::malloc(5));
            if (h.Con != nullptr) std::memcpy(h.Con, "kept", 5);
        }
    }
    return hotels;
}

template <typename Hotel>
bool SameEntries(const std::vector<Hotel>& a, const std::vector<Hotel>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Hotel)) == 0);
}

template <typename Hotel>
void FreeTexts(std::vector<Hotel>& hotels) {
    for (Hotel& h : hotels) std::free(h.Con);
}

// A pointer as a host might leave it in a used record: never dereferenced
// nor freed unless the call replaced it.
char* const kOldCon = reinterpret_cast<char*>(0x1234);

void CallUpdate(const ExchangeCall& call, CallOutcome& outcome) {
    __POIINFO__ query;
    std::memset(&query, 0, sizeof query);
    Put(query.Type, call.type);
    Put(query.Time, call.time);
    Put(query.ID, call.id);
    Put(query.Name, call.name);
    __POICONTENT__ content;
    std::memset(&content, 0xAB, sizeof content);
    content.Con = kOldCon;
    const __POICONTENT__ before = content;
    outcome.result = SendUpdateRequest(query, content);
    outcome.untouched = std::memcmp(&content, &before, sizeof content) == 0;
    char* const con = content.Con == kOldCon ? nullptr : content.Con;
    Fields& out = outcome.fields;
    out["Tel"] = Bytes(content.Tel, sizeof content.Tel);
    out["Con"] = content.Con == kOldCon ? "(old pointer)" : Pointed(con);
    out["Addr"] = Bytes(content.Addr, sizeof content.Addr);
    out["Time"] = Bytes(content.Time, sizeof content.Time);
    out["Reserved"] = Bytes(content.Reserved, sizeof content.Reserved);
    ReadPri(out, "", content.Pri);
    std::free(con);
}

void CallBatch(const ExchangeCall& call, CallOutcome& outcome) {
    __POIINFO2__ query;
    std::memset(&query, 0, sizeof query);
    Put(query.Type, call.type);
    Put(query.Time, call.time);
    auto added = PresentHotels<__ADDHOTEL__>(call.present[0]);
    auto deleted = PresentHotels<__DELHOTEL__>(call.present[1]);
    auto updated = PresentHotels<__UPDHOTEL__>(call.present[2]);
    __HOTELNUM__ counts{-7, -7, -7};
    const __POIINFO2__ queryBefore = query;
    const auto addedBefore = added;
    const auto deletedBefore = deleted;
    const auto updatedBefore = updated;
    outcome.result = RevBatch(query, added, deleted, updated, counts);
    outcome.untouched = std::memcmp(&query, &queryBefore, sizeof query) == 0 && counts.NumA == -7 &&
                        counts.NumD == -7 && counts.NumU == -7 && SameEntries(added, addedBefore) &&
                        SameEntries(deleted, deletedBefore) && SameEntries(updated, updatedBefore);
    Fields& out = outcome.fields;
    out["Type"] = Bytes(query.Type, sizeof query.Type);
    out["Time"] = Bytes(query.Time, sizeof query.Time);
    out["NumA"] = std::to_string(counts.NumA);
    out["NumD"] = std::to_string(counts.NumD);
    out["NumU"] = std::to_string(counts.NumU);
    ReadHotels(out, "add", added);
    ReadHotels(out, "del", deleted);
    ReadHotels(out, "upd", updated);
    FreeTexts(added);
    FreeTexts(updated);
}

const ExchangeCase* Find(const std::vector<ExchangeCase>& cases, const std::string& name) {
    for (const ExchangeCase& c : cases) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

}  // namespace

CallOutcome MakeCall(const ExchangeCall& call) {
    CallOutcome outcome;
    if (call.batch) {
        CallBatch(call, outcome);
    } else {
        CallUpdate(call, outcome);
    }
    return outcome;
}

namespace {

template <typename Number>
bool ReadAll(std::istringstream& words, std::vector<Number>& into) {
    for (Number value; words >> value;) into.push_back(value);
    return words.eof() && !into.empty();
}

// Reads the table's cases and sequences; throws std::runtime_error naming
// the line of anything it does not understand.
void ReadTable(const std::string& path, std::vector<ExchangeCase>& cases,
               std::vector<ExchangeSequence>& sequences) {
    std::ifstream table(path);
    if (!table) throw std::runtime_error("cannot read " + path);
    bool inSequence = false;
    std::string line;
    for (int number = 1; std::getline(table, line); ++number) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        const auto bad = [&] { return std::runtime_error(path + ":" + std::to_string(number) + ": " + line); };
        std::istringstream words(rest);
        if (key == "case" || key == "sequence") {
            inSequence = key == "sequence";
            if (inSequence) {
                sequences.emplace_back();
                sequences.back().name = rest;
            } else {
                cases.emplace_back();
                cases.back().name = rest;
            }
            continue;
        }
        if (inSequence) {
            ExchangeSequence& s = sequences.back();
            std::string which;
            const bool wine = key == "wine" && (words >> which);
            const bool read = (key == "serve" && ReadAll(words, s.answers)) ||
                              ((key == "calls" || (wine && which == "calls")) &&
                               ReadAll(words, wine ? s.wineResults : s.results)) ||
                              ((key == "seen" || (wine && which == "seen")) &&
                               ReadAll(words, wine ? s.wineSeen : s.seen));
            if (!read) throw bad();
            continue;
        }
        if (cases.empty()) throw bad();
        ExchangeCase& c = cases.back();
        if (key == "call" && (rest == "update" || rest == "batch")) {
            c.call.batch = rest == "batch";
            c.call.type = c.call.batch ? "2" : "1";
            c.call.time = c.call.batch ? "2026-01-01 00:00:00" : "2026-12-01 00:00:00";
            c.call.id = c.call.batch ? "" : "P-1";
            c.call.name = c.call.batch ? "" : "Hotel";
        } else if (key == "present" &&
                   (words >> c.call.present[0] >> c.call.present[1] >> c.call.present[2])) {
        } else if (key == "answer" && !rest.empty()) {
            const std::size_t end = rest.find(' ');
            c.answer = rest.substr(0, end);
            c.document = end == std::string::npos ? "" : Unescape(rest.substr(end + 1));
        } else if (key == "after" && Find(cases, rest) != nullptr) {
            c.before.push_back(*Find(cases, rest));
        } else if (key == "result" && (words >> c.result)) {
        } else if (key == "cache" && (rest == "absent" || rest == "printed")) {
            c.cachePrinted = rest == "printed";
        } else if (key == "untouched" && rest.empty()) {
            c.untouched = true;
        } else if (key == "field" && !rest.empty()) {
            const std::size_t end = rest.find(' ');
            c.fields.emplace_back(rest.substr(0, end),
                                  end == std::string::npos ? "" : Unescape(rest.substr(end + 1)));
        } else {
            throw bad();
        }
    }
}

// Connections numbered in the order they were first used.
std::vector<int> InOrderOfUse(const std::vector<int>& connections) {
    std::map<int, int> numbers;
    std::vector<int> out;
    for (const int connection : connections) {
        out.push_back(numbers.emplace(connection, static_cast<int>(numbers.size()) + 1).first->second);
    }
    return out;
}

std::string Listed(const std::vector<int>& numbers) {
    std::string out;
    for (const int n : numbers) out += (out.empty() ? "" : " ") + std::to_string(n);
    return out;
}

}  // namespace

const char kSequenceReply[] = "<Poi><Tel>7</Tel></Poi>";

ExchangeCall SequenceCall() {
    ExchangeCall call;
    call.type = "1";
    call.id = "P-1";
    return call;
}

bool ExchangeSequence::Slow() const {
    for (const std::string& answer : answers) {
        if (answer == "hang") return true;
    }
    return false;
}

std::vector<ExchangeCase> ReadExchangeCases(const std::string& path) {
    std::vector<ExchangeCase> cases;
    std::vector<ExchangeSequence> sequences;
    ReadTable(path, cases, sequences);
    return cases;
}

std::vector<ExchangeCase> ReadExchangeCases(const std::string& path, std::string& error) {
    try {
        return ReadExchangeCases(path);
    } catch (const std::exception& e) {
        error = e.what();
        return {};
    }
}

std::vector<ExchangeSequence> ReadExchangeSequences(const std::string& path, std::string& error) {
    std::vector<ExchangeCase> cases;
    std::vector<ExchangeSequence> sequences;
    try {
        ReadTable(path, cases, sequences);
    } catch (const std::exception& e) {
        error = e.what();
        sequences.clear();
    }
    return sequences;
}

std::vector<std::string> RunExchangeSequence(const ExchangeSequence& sequence,
                                             const std::function<std::vector<int>()>& seen,
                                             bool wine) {
    const std::vector<int>& expected =
        wine && !sequence.wineResults.empty() ? sequence.wineResults : sequence.results;
    const std::vector<int>& expectedSeen =
        wine && !sequence.wineSeen.empty() ? sequence.wineSeen : sequence.seen;
    std::vector<int> results;
    for (std::size_t i = 0; i < expected.size(); ++i) results.push_back(MakeCall(SequenceCall()).result);
    std::vector<std::string> differences;
    if (results != expected) {
        differences.push_back("results " + Listed(results) + ", expected " + Listed(expected));
    }
    const std::vector<int> connections = InOrderOfUse(seen());
    if (connections != expectedSeen) {
        differences.push_back("requests came on connections " + Listed(connections) + ", expected " +
                              Listed(expectedSeen));
    }
    return differences;
}

std::vector<std::string> RunExchangeCase(const ExchangeCase& exchange,
                                         const std::function<void(const ExchangeCase&)>& serve) {
    for (const ExchangeCase& first : exchange.before) {
        serve(first);
        MakeCall(first.call);
    }
    serve(exchange);
    const CallOutcome outcome = MakeCall(exchange.call);
    std::vector<std::string> differences;
    if (outcome.result != exchange.result) {
        differences.push_back("result " + std::to_string(outcome.result) + ", expected " +
                              std::to_string(exchange.result));
    }
    if (exchange.untouched && !outcome.untouched) differences.push_back("the records were changed");
    for (const auto& [name, expected] : exchange.fields) {
        const auto found = outcome.fields.find(name);
        if (found == outcome.fields.end()) {
            differences.push_back("no field " + name);
        } else if (found->second != expected) {
            differences.push_back(name + " is " + Shown(found->second) + ", expected " + Shown(expected));
        }
    }
    return differences;
}

}  // namespace testsupport
