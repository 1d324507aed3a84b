// How every https transfer of the platform layer is secured, and how a TLS
// failure is named. The peer is always verified: its chain and validity
// dates against the trust store, the URL's host name or IP address against
// the certificate's subjectAltName, over TLS 1.2 at least. There is
// deliberately no way to switch any of this off.
#ifndef NALPOICOMM_PLATFORM_POSIX_TLS_POLICY_H
#define NALPOICOMM_PLATFORM_POSIX_TLS_POLICY_H

#include <curl/curl.h>

#include "platform/win32_api.h"

namespace nalpoicomm {

// Sets the verification options on `easy`. The system's trust store is
// libcurl's own; SSL_CERT_FILE and SSL_CERT_DIR, when set, replace it (the
// OpenSSL convention, so a host or a test can trust a private CA).
// CURLE_OK, or the first option libcurl refused.
CURLcode ApplyTlsPolicy(CURL* easy);

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
