// The sample a new database starts with: eight POIs of the invented harbour
// town of Harrowmere (hotels, museums, restaurants) and a hotel revision log
// over four days, so that a batch "since T" differs from one T to the next.
#ifndef NALPOI_SERVICE_SAMPLE_DATA_H
#define NALPOI_SERVICE_SAMPLE_DATA_H

namespace nalpoicomm {
namespace service {

class PoiDatabase;

// Adds the sample to an empty database. The hotels come in through their
// revisions, so their POI rows are those the log ends with.
void AddSampleData(PoiDatabase& db);

}  // namespace service
}  // namespace nalpoicomm

#endif
