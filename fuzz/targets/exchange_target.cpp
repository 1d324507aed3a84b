#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "NalPoiComm.h"
#include "support/install_tree.h"
#include "support/record_fields.h"
#include "support/test_http_server.h"
#include "targets/fuzz_targets.h"
#include "targets/record_checks.h"

namespace nalpoifuzz {
namespace {

using testsupport::Put;

// Inputs served by one local service before it is replaced: starting one per
// input would cost more than the exchange, and it records every request it
// reads, which would grow without end over a long campaign.
constexpr int kInputsPerService = 10000;

testsupport::TestHttpServer& Service() {
    static std::unique_ptr<testsupport::TestHttpServer> server;
    static int served = 0;
    if (!server || ++served % kInputsPerService == 0) {
        server.reset();
        server = std::make_unique<testsupport::TestHttpServer>();
    }
    return *server;
}

bool OneUpdateExchange() {
    __POIINFO__ query;
    std::memset(&query, 0, sizeof query);
    Put(query.Type, "1");
    Put(query.Time, "2026-12-01 00:00:00");
    Put(query.ID, "P-1");
    Put(query.Name, "Hotel");
    __POICONTENT__ content;
    std::memset(&content, 0, sizeof content);
    const int result = SendUpdateRequest(query, content);
    const bool known = result == NALPOI_RESULT_OK || result == NALPOI_RESULT_UPDATE_STATUS_0 ||
                       result == NALPOI_RESULT_UPDATE_STATUS_2 || result == NALPOI_RESULT_NO_ELEMENT ||
                       result == NALPOI_RESULT_EXCHANGE_FAILED || result == NALPOI_RESULT_NO_REPLY ||
                       result == NALPOI_RESULT_TIMED_OUT;
    const bool sound = Terminated(content.Tel) && Terminated(content.Addr) &&
                       Terminated(content.Time) && PriTerminated(content.Pri);
    std::free(content.Con);
    return known && sound;
}

bool OneBatchExchange() {
    __POIINFO2__ query;
    std::memset(&query, 0, sizeof query);
    Put(query.Type, "2");
    Put(query.Time, "2026-12-01 00:00:00");
    std::vector<__ADDHOTEL__> added;
    std::vector<__DELHOTEL__> deleted;
    std::vector<__UPDHOTEL__> updated;
    __HOTELNUM__ counts{};
    const int result = RevBatch(query, added, deleted, updated, counts);
    bool sound = result == NALPOI_RESULT_OK || result == NALPOI_RESULT_BATCH_STATUS_0 ||
                 result == NALPOI_RESULT_NO_ELEMENT || result == NALPOI_RESULT_EXCHANGE_FAILED ||
                 result == NALPOI_RESULT_NO_REPLY || result == NALPOI_RESULT_TIMED_OUT;
    sound = sound && Terminated(query.Time);
    if (result != 1) sound = sound && added.empty() && deleted.empty() && updated.empty();
    for (const __ADDHOTEL__& hotel : added) sound = sound && HotelTerminated(hotel);
    for (const __UPDHOTEL__& hotel : updated) sound = sound && HotelTerminated(hotel);
    for (__ADDHOTEL__& hotel : added) std::free(hotel.Con);
    for (__UPDHOTEL__& hotel : updated) std::free(hotel.Con);
    return sound;
}

}  // namespace

bool FuzzExchange(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return true;
    testsupport::TestHttpServer& service = Service();
    // Written each time: a test sharing the install tree may have changed it.
    testsupport::WriteServiceConfig(service.Url());
    service.SetScript(
        {testsupport::ReplyStep::Send(std::string(reinterpret_cast<const char*>(data + 1), size - 1))});
    const bool sound = (data[0] & 1) ? OneBatchExchange() : OneUpdateExchange();
    // The server closes after its script; wait for that so connections never pile up.
    service.WaitUntilIdle(5000);
    return sound;
}

}  // namespace nalpoifuzz
