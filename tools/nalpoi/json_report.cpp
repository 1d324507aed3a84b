// The JSON shape, stable: every key is always present, in this order.
//
// update:
//   {"operation":"update", "result":<int>, "meaning":"<text>",
//    "content": null                       -- unless result is 1, then
//               {"Tel":"", "Addr":"", "Time":"", "Con":null|"<text>",
//                "Pri":[{"Name":"","Mark":"","Agr":"","Bref":""}, x3]}}
//
// batch:
//   {"operation":"batch", "result":<int>, "meaning":"<text>",
//    "time": null|"<reply time stamp>",     -- a string on result 1
//    "counts": null|{"NumA":<int>,"NumD":<int>,"NumU":<int>},  -- on result 1
//    "added":   [{"ID","Tel","Addr","HN","Con","Pri"}, ...],
//    "deleted": [{"ID","HN"}, ...],
//    "updated": [{"ID","Tel","Addr","HN","Con","Pri"}, ...]}
//
// The counts are those the reply announced; the lists hold the records the
// library appended (empty unless result is 1). Pri always has its three
// slots, empty ones as empty strings; Con is null when the reply gave none.
// Record texts are bytes: they are written as UTF-8 strings, with every
// invalid sequence replaced by U+FFFD.
#include "json_report.h"

#include <nlohmann/json.hpp>

#include "record_text.h"
#include "result_meanings.h"

namespace nalpoicomm {

namespace {

using Json = nlohmann::ordered_json;  // keys in the documented order

template <std::size_t N>
Json Text(const char (&field)[N]) {
    return FieldText(field);
}

Json Con(const char* con) { return con == nullptr ? Json(nullptr) : Json(std::string(con)); }

template <std::size_t Slots>
Json Pri(const __PRIITEM__ (&pri)[Slots]) {
    Json slots = Json::array();
    for (const __PRIITEM__& item : pri) {
        slots.push_back(Json{{"Name", Text(item.Name)},
                             {"Mark", Text(item.Mark)},
                             {"Agr", Text(item.Agr)},
                             {"Bref", Text(item.Bref)}});
    }
    return slots;
}

// Added and updated hotels share one layout.
template <typename Hotel>
Json Hotels(const std::vector<Hotel>& hotels) {
    Json list = Json::array();
    for (const Hotel& hotel : hotels) {
        list.push_back(Json{{"ID", Text(hotel.ID)},
                            {"Tel", Text(hotel.Tel)},
                            {"Addr", Text(hotel.Addr)},
                            {"HN", Text(hotel.HN)},
                            {"Con", Con(hotel.Con)},
                            {"Pri", Pri(hotel.Pri)}});
    }
    return list;
}

Json Header(Operation operation, int result) {
    return Json{{"operation", OperationName(operation)},
                {"result", result},
                {"meaning", ResultMeaning(operation, result)}};
}

std::string Dump(const Json& report) {
    return report.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string UpdateJson(const UpdateOutcome& outcome) {
    Json report = Header(Operation::Update, outcome.result);
    if (outcome.result == NALPOI_RESULT_OK) {
        const __POICONTENT__& content = outcome.content;
        report["content"] = Json{{"Tel", Text(content.Tel)},
                                 {"Addr", Text(content.Addr)},
                                 {"Time", Text(content.Time)},
                                 {"Con", Con(content.Con)},
                                 {"Pri", Pri(content.Pri)}};
    } else {
        report["content"] = nullptr;
    }
    return Dump(report);
}

std::string BatchJson(const BatchOutcome& outcome) {
    Json report = Header(Operation::Batch, outcome.result);
    if (outcome.result == NALPOI_RESULT_OK) {
        report["time"] = outcome.time;
        report["counts"] = Json{{"NumA", outcome.counts.NumA},
                                {"NumD", outcome.counts.NumD},
                                {"NumU", outcome.counts.NumU}};
    } else {
        report["time"] = nullptr;
        report["counts"] = nullptr;
    }
    report["added"] = Hotels(outcome.added);
    Json deleted = Json::array();
    for (const __DELHOTEL__& hotel : outcome.deleted) {
        deleted.push_back(Json{{"ID", Text(hotel.ID)}, {"HN", Text(hotel.HN)}});
    }
    report["deleted"] = std::move(deleted);
    report["updated"] = Hotels(outcome.updated);
    return Dump(report);
}

}  // namespace nalpoicomm
