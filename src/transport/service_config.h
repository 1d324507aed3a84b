// The service URL, read from configdat/serviceIP.xml of the install tree: the
// text of the root element's first child element, whatever either is called.
#ifndef NALPOICOMM_TRANSPORT_SERVICE_CONFIG_H
#define NALPOICOMM_TRANSPORT_SERVICE_CONFIG_H

#include <cstddef>
#include <string>

#include "platform/win32_api.h"

namespace nalpoicomm {

constexpr std::size_t kServiceUrlStore = 100;  // URL of at most 99 bytes

// Why a file gives no URL, in the order the reading meets them.
enum class ServiceConfigProblem {
    kNone,
    kNoPath,          // the install tree's path cannot be formed
    kUnreadable,      // missing or unreadable
    kTooLarge,        // over 64 KiB
    kTooDeep,         // nested deeper than a reply may be
    kNotWellFormed,   // TinyXML reports an error
    kNoRoot,          // no element at all
    kNoFirstChild,    // the root has no child element
    kNoText,          // the first child holds no text
    kTooLong,         // a URL over 99 bytes, never cut
    kNoMemory,
};

// What a reading found, for a person diagnosing it (the host tool).
struct ServiceConfigReading {
    ServiceConfigProblem problem = ServiceConfigProblem::kNone;
    std::string path;         // the file read
    std::string url;          // the URL, or the text that is too long
    std::string parseError;   // TinyXML's words, with kNotWellFormed
};

// The URL as a malloc'd wide block (release with free), or null when the
// file cannot be loaded, has no root, no first child element, no text there,
// or a URL longer than 99 bytes, and when the file is nested deeper than a
// reply may be or is over 64 KiB. With `reading`, also says what it found.
WCHAR* ReadServiceUrl(ServiceConfigReading* reading = nullptr);

}  // namespace nalpoicomm

#endif
