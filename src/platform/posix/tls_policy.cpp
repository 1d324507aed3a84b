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

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// libcurl's SSL context callback: the kept store in place of reading files.
CURLcode UseKeptStore(CURL*, void* sslContext, void* trust) {
    return static_cast<const TlsTrust*>(trust)->InstallInto(sslContext);
}

}  // namespace

std::shared_ptr<TlsTrust> CurrentTlsTrust() noexcept {
    const char* file = Setting("SSL_CERT_FILE");
    const char* dir = Setting("SSL_CERT_DIR");
    if (file == nullptr && dir == nullptr) {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        file = info->cainfo;
        dir = info->capath;
    }
    try {
        return KeptTrust(OrEmpty(file), OrEmpty(dir));
    } catch (...) {  // the strings
        return nullptr;
    }
}

CURLcode ApplyTlsPolicy(CURL* easy, const TlsTrust& trust) {
    CURLcode rc = curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (rc == CURLE_OK) {
        rc = curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    }
    if (rc == CURLE_OK && trust.Sessions() != nullptr) {
        rc = curl_easy_setopt(easy, CURLOPT_SHARE, trust.Sessions());
    }
    // The store is the trust's alone: libcurl's built-in files are not read
    // beside it, and an unset file or directory trusts nothing.
    const char* file = trust.File().empty() ? nullptr : trust.File().c_str();
    const char* dir = trust.Dir().empty() ? nullptr : trust.Dir().c_str();
    if (trust.Kept()) file = dir = nullptr;
    if (rc == CURLE_OK) rc = curl_easy_setopt(easy, CURLOPT_CAINFO, file);
    if (rc == CURLE_OK) rc = curl_easy_setopt(easy, CURLOPT_CAPATH, dir);
    if (rc == CURLE_OK && trust.Kept()) {
        rc = curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &UseKeptStore);
        if (rc == CURLE_OK) rc = curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &trust);
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
