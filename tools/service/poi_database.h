// The service's SQLite store: POIs with their Pri entries and the hotel
// revision log. Opening a missing or empty file creates the schema and the
// sample data; a file of this service is reused as it is. Every query is a
// prepared statement with bound values. Safe to use from the HTTP server's
// threads: one connection, one lock.
#ifndef NALPOI_SERVICE_POI_DATABASE_H
#define NALPOI_SERVICE_POI_DATABASE_H

#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "poi_records.h"

struct sqlite3;

namespace nalpoicomm {
namespace service {

// Any SQLite failure, with SQLite's own message.
class DatabaseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PoiDatabase {
public:
    // Opens or creates `path`; throws DatabaseError when the file cannot be
    // opened or belongs to something else.
    explicit PoiDatabase(const std::string& path);
    ~PoiDatabase();
    PoiDatabase(const PoiDatabase&) = delete;
    PoiDatabase& operator=(const PoiDatabase&) = delete;

    std::optional<Poi> FindPoi(const std::string& id);

    // Calls `visit` for each hotel revision whose time stamp is greater than
    // `since` (compared as bytes), oldest first, in log order within one
    // time stamp, until it returns false. The lock is held meanwhile:
    // `visit` must not call back into the database.
    void VisitRevisionsAfter(const std::string& since,
                             const std::function<bool(const HotelRevision&)>& visit);

    // Appends to the revision log and brings the hotel's POI row in line:
    // added or replaced for an add or update, removed for a delete.
    void RecordHotelRevision(const HotelRevision& revision);

    // Adds or replaces a POI that has no revision log (museums, restaurants).
    void PutPoi(const Poi& poi);

private:
    void CreateSchema();
    void PutPoiLocked(const Poi& poi);
    void Execute(const char* sql);

    sqlite3* db_ = nullptr;
    std::mutex mutex_;
};

}  // namespace service
}  // namespace nalpoicomm

#endif
