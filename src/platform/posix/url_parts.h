// URLs as libcurl reads them, with its texts owned from the start, so that a
// copy that fails for want of memory leaks none of them.
#ifndef NALPOICOMM_PLATFORM_POSIX_URL_PARTS_H
#define NALPOICOMM_PLATFORM_POSIX_URL_PARTS_H

#include <curl/curl.h>

#include <memory>
#include <string>

namespace nalpoicomm {

using CurlUrl = std::unique_ptr<CURLU, void (*)(CURLU*)>;

// A URL handle, null when out of memory.
CurlUrl NewCurlUrl();

// One part of `url` as text; empty when it has none.
std::string UrlPart(CURLU* url, CURLUPart part, unsigned int flags = 0);

}  // namespace nalpoicomm

#endif
