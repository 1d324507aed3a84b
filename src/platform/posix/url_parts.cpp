#include "platform/posix/url_parts.h"

namespace nalpoicomm {

CurlUrl NewCurlUrl() { return CurlUrl(curl_url(), &curl_url_cleanup); }

std::string UrlPart(CURLU* url, CURLUPart part, unsigned int flags) {
    char* text = nullptr;
    curl_url_get(url, part, &text, flags);
    const std::unique_ptr<char, void (*)(void*)> owned(text, &curl_free);
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace nalpoicomm
