#include <cstring>

#include "NalPoiComm.h"
#include "encoding/request_documents.h"
#include "interface/exchange_sequence.h"
#include "interface/exchange_state.h"
#include "reply/batch_reply_parser.h"
#include "transport/install_paths.h"

using namespace nalpoicomm;

NALPOICOMM_API int RevBatch(__POIINFO2__& query, std::vector<__ADDHOTEL__>& added,
                            std::vector<__DELHOTEL__>& deleted, std::vector<__UPDHOTEL__>& updated,
                            __HOTELNUM__& counts) {
    // The parser undoes its own changes when it throws; the copy-out below
    // cannot fail, so the caller's records change only on 1.
    return RunExchangeSequence(
        [&query] { return BuildBatchRequest(query); }, kBatchTimeLimitMs,
        [&](const char* replyText) {
            char cache[kPathChars];
            FormConfigPath(kReplyCacheFormat, cache);  // empty on failure: the save then fails
            const int result =
                ParseBatchReply(replyText, cache, added, deleted, updated, ExchangeState.Totals());
            if (result == 1) {
                static_assert(sizeof query.Time == kBatchTimeSize, "time stamps share one width");
                const std::size_t length = strnlen(ExchangeState.BatchTime, kBatchTimeSize - 1);
                std::memcpy(query.Time, ExchangeState.BatchTime, length);
                query.Time[length] = 0;
                counts.NumA = ExchangeState.HotelCounts[0];
                counts.NumD = ExchangeState.HotelCounts[1];
                counts.NumU = ExchangeState.HotelCounts[2];
            }
            return result;
        });
}
