// The tool's two calls into the library. Each outcome owns the Con texts the
// library handed over and releases them with free() when it is destroyed,
// so the reports can read them first.
#ifndef NALPOI_EXCHANGES_H
#define NALPOI_EXCHANGES_H

#include <string>
#include <vector>

#include "NalPoiComm.h"

namespace nalpoicomm {

// Values already checked against the record widths; longer ones are cut.
struct UpdateQuery {
    std::string type;
    std::string time;
    std::string id;
    std::string name;
};

struct BatchQuery {
    std::string type;
    std::string time;
};

struct UpdateOutcome {
    UpdateOutcome() = default;
    UpdateOutcome(const UpdateOutcome&) = delete;
    UpdateOutcome& operator=(const UpdateOutcome&) = delete;
    ~UpdateOutcome();

    int result = 0;
    __POICONTENT__ content{};  // what the library left; meaningful on result 1
};

struct BatchOutcome {
    BatchOutcome() = default;
    BatchOutcome(const BatchOutcome&) = delete;
    BatchOutcome& operator=(const BatchOutcome&) = delete;
    ~BatchOutcome();

    int result = 0;
    std::string time;        // the reply's time stamp, on result 1
    __HOTELNUM__ counts{};   // the counts the reply announced, on result 1
    std::vector<__ADDHOTEL__> added;
    std::vector<__DELHOTEL__> deleted;
    std::vector<__UPDHOTEL__> updated;
};

// Run SendUpdateRequest / RevBatch once, showing the wait indicator meanwhile.
void RunUpdate(const UpdateQuery& query, UpdateOutcome& outcome);
void RunBatch(const BatchQuery& query, BatchOutcome& outcome);

}  // namespace nalpoicomm

#endif
