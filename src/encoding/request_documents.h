// The two request documents, built by plain concatenation of fixed pieces and
// the caller's fields (no escaping, no conversion), returned base64-encoded.
#ifndef NALPOICOMM_ENCODING_REQUEST_DOCUMENTS_H
#define NALPOICOMM_ENCODING_REQUEST_DOCUMENTS_H

#include <string>

#include "NalPoiComm.h"

namespace nalpoicomm {

// The plain documents, exposed for tests and tools.
std::string UpdateRequestDocument(const __POIINFO__& query);
std::string BatchRequestDocument(const __POIINFO2__& query);

// Encoded documents in a Base64Encode block (release with delete[]).
char* BuildUpdateRequest(const __POIINFO__& query);
char* BuildBatchRequest(const __POIINFO2__& query);

}  // namespace nalpoicomm

#endif
