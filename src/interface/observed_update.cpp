#include "interface/observed_update.h"

#include "interface/update_exchange.h"

namespace nalpoicomm {

int ObservedUpdateRequest(__POIINFO__& query, __POICONTENT__& content, ExchangeObserver& observer) {
    return UpdateExchange(query, content, &observer);
}

}  // namespace nalpoicomm
