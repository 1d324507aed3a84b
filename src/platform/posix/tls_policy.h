// How every https transfer of the platform layer is secured, and how a TLS
// failure is named. The peer is always verified: its chain and validity
// dates against the trust store, the URL's host name or IP address against
// the certificate's subjectAltName, over TLS 1.2 at least. There is
// deliberately no way to switch any of this off.
#ifndef NALPOICOMM_PLATFORM_POSIX_TLS_POLICY_H
#define NALPOICOMM_PLATFORM_POSIX_TLS_POLICY_H

#include <curl/curl.h>

#include <memory>

#include "platform/posix/connection_pool.h"
#include "platform/win32_api.h"

namespace nalpoicomm {

// The trust in force: SSL_CERT_FILE and SSL_CERT_DIR when either is set (the
// OpenSSL convention, so a host or a test can trust a private CA; one alone
// is the whole store), else libcurl's own store. Kept parsed between calls;
// null when out of memory.
std::shared_ptr<TlsTrust> CurrentTlsTrust() noexcept;

// Sets the verification options and `trust` on `easy`, which must not
// outlive `trust`. CURLE_OK, or the first option libcurl refused.
CURLcode ApplyTlsPolicy(CURL* easy, const TlsTrust& trust);

enum class TlsFailure {
    kNone,
    kUntrustedIssuer,   // the chain ends at no trusted root
    kNameMismatch,      // the certificate is not for the URL's host
    kNotValidNow,       // expired or not yet valid
    kProtocol,          // any other handshake failure, a peer that speaks no TLS among them
                        // (the doctor tells that one by the words, as on Windows)
};

// The TLS failure behind a failed transfer's `code`, kNone when it is not one.
TlsFailure ClassifyTlsFailure(CURL* easy, CURLcode code, const char* errorText);

// WinINet's error code for a TLS failure.
DWORD TlsFailureError(TlsFailure failure);

}  // namespace nalpoicomm

#endif
