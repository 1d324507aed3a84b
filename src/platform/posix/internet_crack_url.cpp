// InternetCrackUrlW on libcurl's URL parser. As in WinINet: a component is
// returned only when its buffer and length are given; without the extra
// information component the path keeps "?query#fragment"; the port is the
// explicit one or the scheme's default (80 http, 443 https, 21 ftp, else 0).
#include <curl/curl.h>

#include <cstring>
#include <new>
#include <string>

#include "platform/win32_api.h"

namespace {

struct CurlUrl {
    CURLU* handle = curl_url();
    ~CurlUrl() { curl_url_cleanup(handle); }
    // The part's text, empty when the URL has none. Running out of memory is
    // not "none": an empty path or port would send the request elsewhere.
    std::string Get(CURLUPart part) const {
        char* text = nullptr;
        const CURLUcode rc = curl_url_get(handle, part, &text, 0);
        if (rc == CURLUE_OUT_OF_MEMORY) throw std::bad_alloc();
        if (rc != CURLUE_OK || text == nullptr) return {};
        std::string value(text);
        curl_free(text);
        return value;
    }
};

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool Requested(LPWSTR buffer, DWORD length) { return buffer != nullptr || length != 0; }

// Copies `utf8` into a caller's component buffer; the length field becomes
// the text's length (or the size needed, with ERROR_INSUFFICIENT_BUFFER).
DWORD CopyComponent(const std::string& utf8, LPWSTR buffer, DWORD& length) {
    if (!Requested(buffer, length)) return ERROR_SUCCESS;
    if (buffer == nullptr) return ERROR_INVALID_PARAMETER;  // pointers into the URL: not offered
    int needed = 1;
    if (!utf8.empty()) {
        needed = MultiByteToWideChar(CP_ACP, 0, utf8.c_str(), -1, nullptr, 0);
        if (needed <= 0) return ERROR_INTERNET_INVALID_URL;
    }
    if (static_cast<DWORD>(needed) > length) {
        length = static_cast<DWORD>(needed);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (utf8.empty()) {
        buffer[0] = 0;
    } else {
        MultiByteToWideChar(CP_ACP, 0, utf8.c_str(), -1, buffer, needed);
    }
    length = static_cast<DWORD>(needed - 1);
    return ERROR_SUCCESS;
}

INTERNET_SCHEME SchemeOf(const std::string& scheme) {
    if (scheme == "http") return INTERNET_SCHEME_HTTP;
    if (scheme == "https") return INTERNET_SCHEME_HTTPS;
    if (scheme == "ftp") return INTERNET_SCHEME_FTP;
    return INTERNET_SCHEME_UNKNOWN;
}

BOOL CrackUrl(LPCWSTR url, DWORD urlLength, DWORD flags, URL_COMPONENTSW* components) {
    if (url == nullptr || url[0] == 0 || components == nullptr ||
        components->dwStructSize != sizeof(URL_COMPONENTSW) || flags != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // The length is a maximum: the URL also ends at a zero character.
    std::size_t length = 0;
    while (url[length] != 0 && (urlLength == 0 || length < urlLength)) ++length;
    const int bytes = WideCharToMultiByte(CP_ACP, 0, url, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    if (bytes <= 0) return Fail(ERROR_INTERNET_INVALID_URL);
    std::string text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, url, static_cast<int>(length), &text[0], bytes, nullptr, nullptr);
    if (std::memchr(text.data(), 0, text.size()) != nullptr) return Fail(ERROR_INTERNET_INVALID_URL);

    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return Fail(ERROR_INTERNET_UNRECOGNIZED_SCHEME);

    CurlUrl parsed;
    if (parsed.handle == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    const CURLUcode rc = curl_url_set(parsed.handle, CURLUPART_URL, text.c_str(),
                                      CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS);
    if (rc == CURLUE_BAD_SCHEME || rc == CURLUE_UNSUPPORTED_SCHEME) {
        return Fail(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
    }
    if (rc != CURLUE_OK) return Fail(ERROR_INTERNET_INVALID_URL);

    const std::string scheme = parsed.Get(CURLUPART_SCHEME);
    const std::string host = parsed.Get(CURLUPART_HOST);
    const std::string query = parsed.Get(CURLUPART_QUERY);
    const std::string fragment = parsed.Get(CURLUPART_FRAGMENT);
    const std::string user = parsed.Get(CURLUPART_USER);
    const std::string password = parsed.Get(CURLUPART_PASSWORD);
    std::string extra;
    if (!query.empty()) extra += "?" + query;
    if (!fragment.empty()) extra += "#" + fragment;

    std::string path = parsed.Get(CURLUPART_PATH);
    const bool extraRequested =
        Requested(components->lpszExtraInfo, components->dwExtraInfoLength);
    if (!extraRequested) path += extra;

    INTERNET_PORT port = INTERNET_INVALID_PORT_NUMBER;
    const std::string explicitPort = parsed.Get(CURLUPART_PORT);
    if (!explicitPort.empty()) {
        port = static_cast<INTERNET_PORT>(std::stoul(explicitPort));  // curl checked 0-65535
    } else if (scheme == "http") {
        port = INTERNET_DEFAULT_HTTP_PORT;
    } else if (scheme == "https") {
        port = INTERNET_DEFAULT_HTTPS_PORT;
    } else if (scheme == "ftp") {
        port = INTERNET_DEFAULT_FTP_PORT;
    }

    // Check every buffer before reporting success, so that a short buffer
    // fails the whole call as in WinINet.
    const struct {
        const std::string& value;
        LPWSTR buffer;
        DWORD& length;
    } parts[] = {
        {scheme, components->lpszScheme, components->dwSchemeLength},
        {host, components->lpszHostName, components->dwHostNameLength},
        {user, components->lpszUserName, components->dwUserNameLength},
        {password, components->lpszPassword, components->dwPasswordLength},
        {path, components->lpszUrlPath, components->dwUrlPathLength},
        {extra, components->lpszExtraInfo, components->dwExtraInfoLength},
    };
    for (const auto& part : parts) {
        const DWORD error = CopyComponent(part.value, part.buffer, part.length);
        if (error != ERROR_SUCCESS) return Fail(error);
    }
    components->nScheme = SchemeOf(scheme);
    components->nPort = port;
    return TRUE;
}

}  // namespace

BOOL InternetCrackUrlW(LPCWSTR url, DWORD urlLength, DWORD flags, URL_COMPONENTSW* components) {
    // Failures are reported by the result, as the C API does, never by an exception.
    try {
        return CrackUrl(url, urlLength, flags, components);
    } catch (...) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}
