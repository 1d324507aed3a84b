#include "exchanges.h"

#include <cstdlib>

#include "record_text.h"
#include "wait_indicator.h"

namespace nalpoicomm {

namespace {

// The operations' own limits, as NalPoiComm.h states them.
constexpr int kUpdateLimitSeconds = 20;
constexpr int kBatchLimitSeconds = 60;

template <typename Hotel>
void ReleaseCon(std::vector<Hotel>& hotels) {
    for (Hotel& hotel : hotels) {
        std::free(hotel.Con);
        hotel.Con = nullptr;
    }
}

}  // namespace

UpdateOutcome::~UpdateOutcome() { std::free(content.Con); }

BatchOutcome::~BatchOutcome() {
    ReleaseCon(added);
    ReleaseCon(updated);
}

void RunUpdate(const UpdateQuery& query, UpdateOutcome& outcome) {
    __POIINFO__ request{};
    CopyIntoField(request.Type, query.type);
    CopyIntoField(request.Time, query.time);
    CopyIntoField(request.ID, query.id);
    CopyIntoField(request.Name, query.name);

    WaitIndicator indicator(kUpdateLimitSeconds);
    outcome.result = SendUpdateRequest(request, outcome.content);
}

void RunBatch(const BatchQuery& query, BatchOutcome& outcome) {
    __POIINFO2__ request{};
    CopyIntoField(request.Type, query.type);
    CopyIntoField(request.Time, query.time);

    {
        WaitIndicator indicator(kBatchLimitSeconds);
        outcome.result =
            RevBatch(request, outcome.added, outcome.deleted, outcome.updated, outcome.counts);
    }
    // The library replaces the query's time stamp with the reply's.
    if (outcome.result == 1) outcome.time = FieldText(request.Time);
}

}  // namespace nalpoicomm
