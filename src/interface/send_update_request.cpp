#include "NalPoiComm.h"
#include "interface/update_exchange.h"

NALPOICOMM_API int SendUpdateRequest(__POIINFO__& query, __POICONTENT__& content) {
    return nalpoicomm::UpdateExchange(query, content, nullptr);
}
