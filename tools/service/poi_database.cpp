#include "poi_database.h"

#include <sqlite3.h>

#include <string>
#include <utility>

#include "sample_data.h"

namespace nalpoicomm {
namespace service {
namespace {

// Bumped when the tables change; a file with another version is refused
// rather than misread.
constexpr int kSchemaVersion = 1;
// Another process (a test, a person with the sqlite3 shell) may hold the
// file for a moment.
constexpr int kBusyTimeoutMs = 2000;

constexpr const char* kTimeStampPattern =
    "'[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]'";

// A CHECK that bounds a column's UTF-8 bytes, which is what the client's
// fields count (SQLite's length() of text counts characters).
std::string MaxBytes(const char* column, std::size_t bytes) {
    return std::string("CHECK (length(CAST(") + column + " AS BLOB)) <= " +
           std::to_string(bytes) + ")";
}

std::string IdColumn(const char* column) {
    return std::string(column) + " TEXT NOT NULL CHECK (" + column + " <> '') " +
           MaxBytes(column, kIdBytes);
}

std::string TextColumn(const char* column, std::size_t bytes) {
    return std::string(column) + " TEXT NOT NULL " + MaxBytes(column, bytes);
}

std::string TimeColumn() {
    return std::string("time TEXT NOT NULL CHECK (time GLOB ") + kTimeStampPattern + ")";
}

std::string PriColumns() {
    return "slot INTEGER NOT NULL CHECK (slot BETWEEN 0 AND " + std::to_string(kPriSlots - 1) +
           "), " + TextColumn("name", kPriNameBytes) + ", " + TextColumn("mark", kPriShortBytes) +
           ", " + TextColumn("agr", kPriShortBytes) + ", " + TextColumn("bref", kPriShortBytes);
}

const char* ChangeName(HotelChange change) {
    switch (change) {
        case HotelChange::kAdd: return "add";
        case HotelChange::kUpdate: return "upd";
        case HotelChange::kDelete: return "del";
    }
    return "add";
}

HotelChange ChangeFromName(const std::string& name) {
    if (name == "upd") return HotelChange::kUpdate;
    if (name == "del") return HotelChange::kDelete;
    return HotelChange::kAdd;
}

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
    throw DatabaseError(what + ": " + sqlite3_errmsg(db));
}

// One prepared statement, finalised with its owner.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
            Fail(db_, "cannot prepare \"" + sql + "\"");
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, const std::string& text) {
        if (sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT) != SQLITE_OK) {
            Fail(db_, "cannot bind a value");
        }
        return *this;
    }
    Statement& Bind(int index, sqlite3_int64 number) {
        if (sqlite3_bind_int64(stmt_, index, number) != SQLITE_OK) Fail(db_, "cannot bind a value");
        return *this;
    }

    // True while there is a row; throws on any failure, a broken CHECK included.
    bool Step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        Fail(db_, "statement failed");
    }
    void Run() { while (Step()) {} }

    std::string Text(int column) const {
        const unsigned char* text = sqlite3_column_text(stmt_, column);
        const int bytes = sqlite3_column_bytes(stmt_, column);
        return text != nullptr ? std::string(reinterpret_cast<const char*>(text),
                                             static_cast<std::size_t>(bytes))
                               : std::string();
    }
    sqlite3_int64 Int(int column) const { return sqlite3_column_int64(stmt_, column); }

    void Reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// A savepoint, so that nested units of work each commit or roll back whole.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) { Exec("SAVEPOINT unit"); }
    ~Transaction() {
        if (!committed_) {
            sqlite3_exec(db_, "ROLLBACK TO unit; RELEASE unit", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void Commit() {
        Exec("RELEASE unit");
        committed_ = true;
    }

private:
    void Exec(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db_, sql);
    }
    sqlite3* db_;
    bool committed_ = false;
};

std::vector<PriEntry> ReadPri(Statement& query) {
    std::vector<PriEntry> pri;
    while (query.Step()) {
        pri.push_back(PriEntry{query.Text(0), query.Text(1), query.Text(2), query.Text(3)});
    }
    return pri;
}

void InsertPri(sqlite3* db, const char* table, const char* owner_column,
               const std::function<void(Statement&)>& bind_owner,
               const std::vector<PriEntry>& pri) {
    Statement insert(db, std::string("INSERT INTO ") + table + " (" + owner_column +
                             ", slot, name, mark, agr, bref) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    for (std::size_t slot = 0; slot < pri.size(); ++slot) {
        bind_owner(insert);
        insert.Bind(2, static_cast<sqlite3_int64>(slot))
            .Bind(3, pri[slot].name)
            .Bind(4, pri[slot].mark)
            .Bind(5, pri[slot].agr)
            .Bind(6, pri[slot].bref)
            .Run();
        insert.Reset();
    }
}

}  // namespace

PoiDatabase::PoiDatabase(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw DatabaseError("cannot open " + path + ": " + message);
    }
    try {
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        Execute("PRAGMA foreign_keys = ON");
        Transaction transaction(db_);
        Statement version(db_, "PRAGMA user_version");
        version.Step();
        const sqlite3_int64 found_version = version.Int(0);
        Statement tables(db_, "SELECT count(*) FROM sqlite_master");
        tables.Step();
        const sqlite3_int64 table_count = tables.Int(0);
        if (found_version == 0 && table_count == 0) {
            CreateSchema();
            AddSampleData(*this);
        } else if (found_version != kSchemaVersion) {
            throw DatabaseError(path + " is not a database of this service (schema version " +
                                std::to_string(found_version) + ")");
        }
        transaction.Commit();
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

PoiDatabase::~PoiDatabase() { sqlite3_close(db_); }

void PoiDatabase::Execute(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db_, sql);
}

void PoiDatabase::CreateSchema() {
    const std::string statements[] = {
        "CREATE TABLE poi (id TEXT PRIMARY KEY NOT NULL CHECK (id <> '') " +
            MaxBytes("id", kIdBytes) +
            ", kind TEXT NOT NULL CHECK (kind IN ('hotel', 'museum', 'restaurant')), " +
            TextColumn("name", kHotelNameBytes) + ", " + TextColumn("tel", kTelBytes) + ", " +
            TextColumn("addr", kAddrBytes) + ", " + TimeColumn() + ", " +
            TextColumn("con", kContentBytes) + ")",
        "CREATE TABLE poi_pri (poi_id TEXT NOT NULL REFERENCES poi (id) ON DELETE CASCADE, " +
            PriColumns() + ", PRIMARY KEY (poi_id, slot))",
        "CREATE TABLE hotel_revision (revision INTEGER PRIMARY KEY, "
        "change TEXT NOT NULL CHECK (change IN ('add', 'upd', 'del')), " +
            TimeColumn() + ", " + IdColumn("hotel_id") + ", " + TextColumn("hn", kHotelNameBytes) +
            ", " + TextColumn("tel", kTelBytes) + ", " + TextColumn("addr", kAddrBytes) + ", " +
            TextColumn("con", kContentBytes) + ")",
        "CREATE INDEX hotel_revision_by_time ON hotel_revision (time, revision)",
        "CREATE TABLE hotel_revision_pri (revision INTEGER NOT NULL "
        "REFERENCES hotel_revision (revision) ON DELETE CASCADE, " +
            PriColumns() + ", PRIMARY KEY (revision, slot))",
        "PRAGMA user_version = " + std::to_string(kSchemaVersion),
    };
    for (const std::string& sql : statements) Execute(sql.c_str());
}

std::optional<Poi> PoiDatabase::FindPoi(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement query(db_, "SELECT kind, name, tel, addr, time, con FROM poi WHERE id = ?1");
    query.Bind(1, id);
    if (!query.Step()) return std::nullopt;
    Poi poi;
    poi.id = id;
    poi.kind = query.Text(0);
    poi.name = query.Text(1);
    poi.tel = query.Text(2);
    poi.addr = query.Text(3);
    poi.time = query.Text(4);
    poi.con = query.Text(5);
    Statement pri(db_,
                  "SELECT name, mark, agr, bref FROM poi_pri WHERE poi_id = ?1 ORDER BY slot");
    pri.Bind(1, id);
    poi.pri = ReadPri(pri);
    return poi;
}

void PoiDatabase::VisitRevisionsAfter(const std::string& since,
                                      const std::function<bool(const HotelRevision&)>& visit) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement query(db_,
                    "SELECT revision, change, time, hotel_id, hn, tel, addr, con "
                    "FROM hotel_revision WHERE time > ?1 ORDER BY time, revision");
    query.Bind(1, since);
    Statement pri(db_,
                  "SELECT name, mark, agr, bref FROM hotel_revision_pri "
                  "WHERE revision = ?1 ORDER BY slot");
    while (query.Step()) {
        HotelRevision revision;
        revision.change = ChangeFromName(query.Text(1));
        revision.time = query.Text(2);
        revision.id = query.Text(3);
        revision.name = query.Text(4);
        revision.tel = query.Text(5);
        revision.addr = query.Text(6);
        revision.con = query.Text(7);
        pri.Bind(1, query.Int(0));
        revision.pri = ReadPri(pri);
        pri.Reset();
        if (!visit(revision)) return;
    }
}

void PoiDatabase::RecordHotelRevision(const HotelRevision& revision) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction transaction(db_);
    Statement insert(db_,
                     "INSERT INTO hotel_revision (change, time, hotel_id, hn, tel, addr, con) "
                     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    insert.Bind(1, std::string(ChangeName(revision.change)))
        .Bind(2, revision.time)
        .Bind(3, revision.id)
        .Bind(4, revision.name)
        .Bind(5, revision.tel)
        .Bind(6, revision.addr)
        .Bind(7, revision.con)
        .Run();
    const sqlite3_int64 number = sqlite3_last_insert_rowid(db_);
    InsertPri(db_, "hotel_revision_pri", "revision",
              [number](Statement& s) { s.Bind(1, number); }, revision.pri);

    if (revision.change == HotelChange::kDelete) {
        Statement remove(db_, "DELETE FROM poi WHERE id = ?1");
        remove.Bind(1, revision.id).Run();
    } else {
        PutPoiLocked(Poi{revision.id, "hotel", revision.name, revision.tel, revision.addr,
                         revision.time, revision.con, revision.pri});
    }
    transaction.Commit();
}

void PoiDatabase::PutPoi(const Poi& poi) {
    std::lock_guard<std::mutex> lock(mutex_);
    PutPoiLocked(poi);
}

void PoiDatabase::PutPoiLocked(const Poi& poi) {
    Transaction transaction(db_);
    // Removing first (its Pri rows go with it) rather than INSERT OR REPLACE,
    // whose implicit delete does not reliably cascade.
    Statement remove(db_, "DELETE FROM poi WHERE id = ?1");
    remove.Bind(1, poi.id).Run();
    Statement insert(db_,
                     "INSERT INTO poi (id, kind, name, tel, addr, time, con) "
                     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    insert.Bind(1, poi.id)
        .Bind(2, poi.kind)
        .Bind(3, poi.name)
        .Bind(4, poi.tel)
        .Bind(5, poi.addr)
        .Bind(6, poi.time)
        .Bind(7, poi.con)
        .Run();
    InsertPri(db_, "poi_pri", "poi_id", [&poi](Statement& s) { s.Bind(1, poi.id); }, poi.pri);
    transaction.Commit();
}

}  // namespace service
}  // namespace nalpoicomm
