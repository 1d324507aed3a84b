// SendUpdateRequest with an observer told each step of the worker's
// exchange: the same sequence, worker and parser, so that the host tool's
// doctor diagnoses the library's own exchange, not one of its own.
#ifndef NALPOICOMM_INTERFACE_OBSERVED_UPDATE_H
#define NALPOICOMM_INTERFACE_OBSERVED_UPDATE_H

#include "NalPoiComm.h"
#include "transport/exchange_observer.h"

namespace nalpoicomm {

int ObservedUpdateRequest(__POIINFO__& query, __POICONTENT__& content, ExchangeObserver& observer);

}  // namespace nalpoicomm

#endif
