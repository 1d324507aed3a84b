// What the exchange worker tells an observer, step by step, when one is set
// in its slots (the host tool's doctor). The exported operations set none:
// then each step costs a null test and nothing more.
//
// Calls come from the worker's thread, in the order of the steps, and stop
// at the first step that fails; the observer must not throw.
#ifndef NALPOICOMM_TRANSPORT_EXCHANGE_OBSERVER_H
#define NALPOICOMM_TRANSPORT_EXCHANGE_OBSERVER_H

#include <cstddef>

#include "platform/win32_api.h"
#include "transport/service_config.h"
#include "transport/service_url.h"

namespace nalpoicomm {

class ExchangeObserver {
public:
    virtual ~ExchangeObserver() = default;

    // serviceIP.xml was read: `reading` says what was found (problem kNone
    // when there is a URL).
    virtual void ConfigRead(const ServiceConfigReading& reading) = 0;
    // The URL was split (`split`), into `parts`.
    virtual void UrlSplit(bool split, const ServiceUrlParts& parts) = 0;
    // The request of `requestBytes` went out and the final response's headers
    // came in (`error` ERROR_SUCCESS, `status` the HTTP status), or a
    // platform call on the way failed with `error`; `words` is the
    // platform's own account of it (InternetGetLastResponseInfo), maybe empty.
    virtual void Sent(std::size_t requestBytes, DWORD error, DWORD status, const char* words) = 0;
    // The Content-Length query: `error` ERROR_SUCCESS and its `length`, or why not.
    virtual void LengthRead(DWORD error, DWORD length) = 0;
    // The body as the worker kept it: `raw`, `bytes` of the `length` announced.
    virtual void BodyRead(const char* raw, std::size_t bytes, DWORD length) = 0;
    // The body decoded, up to its first zero byte.
    virtual void Decoded(const char* text, std::size_t length) = 0;
};

}  // namespace nalpoicomm

#endif
