#include "interface/update_exchange.h"

#include <cstring>

#include "encoding/request_documents.h"
#include "interface/exchange_sequence.h"
#include "reply/update_reply_parser.h"
#include "transport/install_paths.h"

namespace nalpoicomm {

int UpdateExchange(__POIINFO__& query, __POICONTENT__& content, ExchangeObserver* observer) {
    // A host may hand over a reference made from a null pointer; read the
    // address through a volatile so the test is not optimised away.
    __POICONTENT__* volatile target = &content;
    return RunExchangeSequence(
        [&query] { return BuildUpdateRequest(query); }, kUpdateTimeLimitMs,
        [target](const char* replyText) {
            __POICONTENT__* record = target;
            if (record == nullptr) return kResultNoContentRecord;
            char cache[kPathChars];
            FormConfigPath(kReplyCacheFormat, cache);  // empty on failure: the save then fails
            // A parse that runs out of memory ends the call with -2, which
            // promises the record as the caller passed it: keep a copy.
            __POICONTENT__ passed;
            std::memcpy(&passed, record, sizeof passed);
            std::memset(record, 0, sizeof *record);
            try {
                return ParseUpdateReply(replyText, cache, *record);
            } catch (...) {
                std::memcpy(record, &passed, sizeof passed);
                throw;
            }
        },
        observer);
}

}  // namespace nalpoicomm
