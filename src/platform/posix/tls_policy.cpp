#include "platform/posix/tls_policy.h"

#include <cstdlib>
#include <cstring>

namespace nalpoicomm {
namespace {

// OpenSSL's X509_V_ERR_* values that libcurl reports as the verify result;
// named here so the platform layer needs no OpenSSL header.
constexpr long kX509Ok = 0;
constexpr long kX509CertNotYetValid = 9;
constexpr long kX509CertHasExpired = 10;
constexpr long kX509HostnameMismatch = 62;
constexpr long kX509IpAddressMismatch = 64;

const char* Setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != 0 ? value : nullptr;
}

}  // namespace

CURLcode ApplyTlsPolicy(CURL* easy) {
    CURLcode rc = curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (rc == CURLE_OK) {
        rc = curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    }
    const char* file = Setting("SSL_CERT_FILE");
    const char* dir = Setting("SSL_CERT_DIR");
    if (rc == CURLE_OK && (file != nullptr || dir != nullptr)) {
        // Either one replaces the whole store: an unset one trusts nothing.
        rc = curl_easy_setopt(easy, CURLOPT_CAINFO, file);
        if (rc == CURLE_OK) rc = curl_easy_setopt(easy, CURLOPT_CAPATH, dir);
    }
    return rc;
}

TlsFailure ClassifyTlsFailure(CURL* easy, CURLcode code, const char* errorText) {
    switch (code) {
        case CURLE_PEER_FAILED_VERIFICATION: {
            // libcurl matches the name itself once the chain is verified, and
            // says so only in words.
            if (errorText != nullptr && std::strstr(errorText, "subject name") != nullptr) {
                return TlsFailure::kNameMismatch;
            }
            long verify = kX509Ok;
            curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify);
            switch (verify) {
                case kX509CertNotYetValid:
                case kX509CertHasExpired:
                    return TlsFailure::kNotValidNow;
                case kX509Ok:
                case kX509HostnameMismatch:
                case kX509IpAddressMismatch:
                    return TlsFailure::kNameMismatch;
                default:
                    return TlsFailure::kUntrustedIssuer;
            }
        }
        case CURLE_SSL_CACERT_BADFILE:
            return TlsFailure::kUntrustedIssuer;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return TlsFailure::kProtocol;
        default:
            return TlsFailure::kNone;
    }
}

DWORD TlsFailureError(TlsFailure failure) {
    switch (failure) {
        case TlsFailure::kNone:
            return ERROR_SUCCESS;
        case TlsFailure::kUntrustedIssuer:
            return ERROR_INTERNET_INVALID_CA;
        case TlsFailure::kNameMismatch:
            return ERROR_INTERNET_SEC_CERT_CN_INVALID;
        case TlsFailure::kNotValidNow:
            return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
        case TlsFailure::kProtocol:
            return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    }
    return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
}

}  // namespace nalpoicomm
