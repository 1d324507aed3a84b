// The update exchange that SendUpdateRequest runs, with or without an
// observer: in a file of its own, so that a tool linking the library's code
// for the observed form does not also take the exported operation.
#ifndef NALPOICOMM_INTERFACE_UPDATE_EXCHANGE_H
#define NALPOICOMM_INTERFACE_UPDATE_EXCHANGE_H

#include "NalPoiComm.h"
#include "transport/exchange_observer.h"

namespace nalpoicomm {

int UpdateExchange(__POIINFO__& query, __POICONTENT__& content, ExchangeObserver* observer);

}  // namespace nalpoicomm

#endif
