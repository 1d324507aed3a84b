// The service URL, read from configdat/serviceIP.xml of the install tree: the
// text of the root element's first child element, whatever either is called.
#ifndef NALPOICOMM_TRANSPORT_SERVICE_CONFIG_H
#define NALPOICOMM_TRANSPORT_SERVICE_CONFIG_H

#include <cstddef>

#include "platform/win32_api.h"

namespace nalpoicomm {

constexpr std::size_t kServiceUrlStore = 100;  // URL of at most 99 bytes

// The URL as a malloc'd wide block (release with free), or null when the
// file cannot be loaded, has no root, no first child element, no text there,
// or a URL longer than 99 bytes, and when the file is nested deeper than a
// reply may be or is over 64 KiB.
WCHAR* ReadServiceUrl();

}  // namespace nalpoicomm

#endif
