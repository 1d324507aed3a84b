// The service URL split into the parts a connection and a request need,
// with WinINet's own splitting (InternetCrackUrlW) into fixed stores.
#ifndef NALPOICOMM_TRANSPORT_SERVICE_URL_H
#define NALPOICOMM_TRANSPORT_SERVICE_URL_H

#include <cstddef>

#include "platform/win32_api.h"

namespace nalpoicomm {

constexpr std::size_t kUrlPartChars = 1024;  // host and path stores, in wide characters

struct ServiceUrlParts {
    WCHAR host[kUrlPartChars];
    WCHAR path[kUrlPartChars];
    INTERNET_PORT port = 0;
    bool secure = false;  // an https URL: TLS with a verified peer, never clear text
    // As the split recognised it; any scheme but https is spoken to in plain HTTP.
    INTERNET_SCHEME scheme = INTERNET_SCHEME_UNKNOWN;
};

// False when the URL cannot be split (nothing to connect to).
bool SplitServiceUrl(const WCHAR* url, ServiceUrlParts& parts);

}  // namespace nalpoicomm

#endif
