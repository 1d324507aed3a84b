#include "transport/service_url.h"

#include <cstring>

namespace nalpoicomm {

bool SplitServiceUrl(const WCHAR* url, ServiceUrlParts& parts) {
    URL_COMPONENTS components;
    std::memset(&components, 0, sizeof components);
    components.dwStructSize = sizeof components;
    components.lpszHostName = parts.host;
    components.dwHostNameLength = kUrlPartChars;
    components.lpszUrlPath = parts.path;
    components.dwUrlPathLength = kUrlPartChars;
    if (!InternetCrackUrlW(url, 0, 0, &components)) return false;
    if (parts.host[0] == 0) return false;  // an empty host is nothing to connect to, split or not
    parts.port = components.nPort;
    parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    parts.scheme = components.nScheme;
    return true;
}

}  // namespace nalpoicomm
