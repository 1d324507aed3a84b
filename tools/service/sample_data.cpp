#include "sample_data.h"

#include <iterator>
#include <string>
#include <vector>

#include "poi_database.h"

namespace nalpoicomm {
namespace service {
namespace {

// Telephone numbers are in the UK range set aside for fiction (01632 960xxx).
const Poi kOtherPois[] = {
    {"M-2001", "museum", "Harrowmere Maritime Museum", "+44 1632 960201",
     "1 Harbour Parade, Harrowmere", "2024-02-20 10:00:00",
     "Three floors of ship models, charts and figureheads from the age of sail. "
     "The old lighthouse lens on the top floor still turns every hour. "
     "Closed on Mondays.",
     {{"Adult ticket", "8.50", "7.00", "audio"},
      {"Child ticket", "4.00", "3.50", "under 16"},
      {"Family ticket", "20.00", "17.00", "2+3"}}},
    {"M-2002", "museum", "Old Glassworks", "+44 1632 960202", "Furnace Yard, Harrowmere",
     "2024-02-21 09:30:00",
     "The last glass cone on the coast, with demonstrations of glass blowing every "
     "afternoon. Entry is free; donations keep the furnace lit.",
     {}},
    {"R-3001", "restaurant", "The Salt & Anchor", "+44 1632 960301",
     "9 Quay Street, Harrowmere", "2024-02-25 12:00:00",
     "Fish & chips straight off the morning boats, eaten on the harbour wall or "
     "inside by the fire. Booking advised on Fridays.",
     {{"Set lunch", "14.50", "12.00", "2 courses"}, {"Fish supper", "11.00", "9.50", "takeaway"}}},
    {"R-3002", "restaurant", "Zur M\xC3\xBChle", "+44 1632 960302", "Mill Lane 2, Harrowmere",
     "2024-02-26 18:00:00",
     "A German kitchen in the old mill: K\xC3\xA4sesp\xC3\xA4tzle, Rostbratwurst and apple "
     "strudel. Beer from the cask; the terrace opens in May.",
     {{"Dinner menu", "24.00", "21.00", "3 courses"}}},
};

const PriEntry kHarbourLightRooms[] = {
    {"Single room", "79.00", "65.00", "incl. bkf"},
    {"Double room", "109.00", "92.00", "sea view"},
    {"Suite", "189.00", "160.00", "balcony"},
};

std::vector<HotelRevision> HotelLog() {
    const std::string harbour_light = "Harbour Light Hotel";
    const std::string mill_house = "Mill House Inn";
    return {
        {HotelChange::kAdd, "2024-03-01 08:00:00", "H-1001", harbour_light, "+44 1632 960101",
         "3 Quay Street, Harrowmere",
         "A Georgian harbour-master's house with twelve rooms facing the water. "
         "Breakfast is served in the old chart room from seven.",
         std::vector<PriEntry>(std::begin(kHarbourLightRooms), std::end(kHarbourLightRooms))},
        {HotelChange::kAdd, "2024-03-01 08:00:00", "H-1002", mill_house, "+44 1632 960102",
         "12 Mill Lane, Harrowmere",
         "A country inn by the mill pond, ten minutes' walk from the harbour. "
         "Dogs welcome.",
         {{"Double room", "85.00", "75.00", "garden"}}},
        {HotelChange::kAdd, "2024-03-02 10:30:00", "H-1003",
         "S\xC3\xB8nderg\xC3\xA5rd Guesthouse", "+44 1632 960103", "7 Chapel Row, Harrowmere",
         "Bed & breakfast run by Ingrid S\xC3\xB8nderg\xC3\xA5rd since 1998. "
         "Five quiet rooms above the old bakery; the cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e at "
         "breakfast is famous across the bay. Cash & cards accepted.",
         {{"Single room", "55.00", "50.00", "shared"},
          {"Double room", "70.00", "64.00", "en suite"}}},
        {HotelChange::kAdd, "2024-03-02 14:00:00", "H-1004", "Station Hotel", "+44 1632 960104",
         "1 Station Road, Harrowmere",
         "A plain commercial hotel opposite the station. Late arrivals by arrangement.", {}},
        {HotelChange::kUpdate, "2024-03-03 09:00:00", "H-1001", harbour_light, "+44 1632 960101",
         "3 Quay Street, Harrowmere",
         "A Georgian harbour-master's house with twelve rooms facing the water, "
         "reopened after its spring refit. Breakfast is served in the old chart room from seven.",
         {{"Single room", "79.00", "65.00", "incl. bkf"},
          {"Double room", "99.00", "85.00", "sea view"},
          {"Suite", "189.00", "160.00", "balcony"}}},
        {HotelChange::kDelete, "2024-03-03 17:45:00", "H-1004", "Station Hotel", "", "", "", {}},
        {HotelChange::kUpdate, "2024-03-04 09:15:00", "H-1002", mill_house, "+44 1632 960112",
         "12 Mill Lane, Harrowmere",
         "A country inn by the mill pond, ten minutes' walk from the harbour. "
         "Dogs welcome; the new garden rooms open this week.",
         {{"Double room", "85.00", "75.00", "garden"},
          {"Garden room", "95.00", "84.00", "terrace"}}},
        {HotelChange::kAdd, "2024-03-04 11:00:00", "H-1005", "Lighthouse Lodge", "+44 1632 960105",
         "Point Road, Harrowmere",
         "Four cottages in the keepers' row under the lighthouse, let by the night or the week.",
         {{"Cottage", "120.00", "105.00", "sleeps 4"},
          {"Cottage, week", "690.00", "610.00", "7 nights"},
          {"Studio", "65.00", "58.00", "sleeps 2"}}},
    };
}

}  // namespace

void AddSampleData(PoiDatabase& db) {
    for (const Poi& poi : kOtherPois) db.PutPoi(poi);
    for (const HotelRevision& revision : HotelLog()) db.RecordHotelRevision(revision);
}

}  // namespace service
}  // namespace nalpoicomm
