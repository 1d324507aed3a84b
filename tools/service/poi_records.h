// The service's own view of its data: POIs with their Pri entries, and the
// revision log of hotels that batch replies are made from.
#ifndef NALPOI_SERVICE_POI_RECORDS_H
#define NALPOI_SERVICE_POI_RECORDS_H

#include <cstddef>
#include <string>
#include <vector>

namespace nalpoicomm {
namespace service {

// Byte widths of the client's fixed fields, less the terminating zero; the
// database refuses longer texts so that every reply is read whole.
constexpr std::size_t kIdBytes = 49;
constexpr std::size_t kTelBytes = 19;
constexpr std::size_t kAddrBytes = 49;
constexpr std::size_t kTimeBytes = 19;
constexpr std::size_t kHotelNameBytes = 99;
constexpr std::size_t kPriNameBytes = 63;
constexpr std::size_t kPriShortBytes = 9;   // Mark, Agr and Bref
constexpr std::size_t kPriSlots = 3;        // the client keeps three slots
// Con has no width on the client; this bound keeps one hotel item, even
// with every character escaped, well inside one reply body.
constexpr std::size_t kContentBytes = 3000;

struct PriEntry {
    std::string name;
    std::string mark;   // list price
    std::string agr;    // agreed (discounted) price
    std::string bref;   // short note
};

struct Poi {
    std::string id;
    std::string kind;   // hotel, museum, restaurant
    std::string name;
    std::string tel;
    std::string addr;
    std::string time;   // last change, "YYYY-MM-DD hh:mm:ss"
    std::string con;
    std::vector<PriEntry> pri;   // at most kPriSlots
};

enum class HotelChange { kAdd, kUpdate, kDelete };

// One entry of the hotel revision log; a delete carries only id and name.
struct HotelRevision {
    HotelChange change = HotelChange::kAdd;
    std::string time;
    std::string id;
    std::string name;   // HN
    std::string tel;
    std::string addr;
    std::string con;
    std::vector<PriEntry> pri;
};

}  // namespace service
}  // namespace nalpoicomm

#endif
