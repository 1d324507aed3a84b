// WinINet's session, connection and request calls, synchronous use only, on
// HttpTransfer. Arguments and flags beyond those the library uses fail with
// ERROR_INVALID_PARAMETER (or ERROR_NOT_SUPPORTED) rather than being ignored.
#include <strings.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/posix/internet_handles.h"
#include "platform/win32_api.h"

using nalpoicomm::FindInternetObject;
using nalpoicomm::InternetKind;
using nalpoicomm::InternetObject;
using nalpoicomm::RequestState;

namespace {

// UTF-8 text of a wide string (null gives empty text).
std::string Utf8(LPCWSTR text) {
    if (text == nullptr || text[0] == 0) return std::string();
    const int needed = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string out(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], needed, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(needed - 1));
    return out;
}

bool IsEmpty(LPCWSTR text) { return text == nullptr || text[0] == 0; }

// The words of the calling thread's last failed request, as WinINet keeps
// them. A plain array: a thread-local with a destructor would have glibc
// register one per thread, which aborts the process when memory runs out.
thread_local char gLastResponseWords[CURL_ERROR_SIZE];

void KeepResponseWords(const char* words) {
    const std::size_t length = strnlen(words, sizeof gLastResponseWords - 1);
    std::memcpy(gLastResponseWords, words, length);
    gLastResponseWords[length] = 0;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::string RequestUrl(const InternetObject& request) {
    std::string host = request.host;
    if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
    std::string path = request.path.empty() || request.path[0] != '/' ? "/" + request.path
                                                                       : request.path;
    return (request.secure ? "https://" : "http://") + host + ":" + std::to_string(request.port) +
           path;
}

// Content-Length as WinINet reads it: the leading decimal digits; a value
// that does not fit 32 bits is refused, never wrapped.
bool ParseContentLength(const char* value, DWORD& length) {
    while (*value == ' ' || *value == '\t') ++value;
    std::uint64_t number = 0;
    for (; *value >= '0' && *value <= '9'; ++value) {
        number = number * 10 + static_cast<std::uint64_t>(*value - '0');
        if (number > 0xFFFFFFFFull) return false;
    }
    length = static_cast<DWORD>(number);
    return true;
}

// The calls report every failure by their result, as the C API does: an
// allocation that fails inside is ERROR_NOT_ENOUGH_MEMORY, never an
// exception out of a platform call.
template <typename Body>
auto Guarded(Body body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return decltype(body()){};
    }
}

}  // namespace

HINTERNET InternetOpenW(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR proxyBypass,
                        DWORD flags) {
    return Guarded([&]() -> HINTERNET {
        // Preconfigured access only: libcurl then takes the proxy from the
        // standard environment variables, the POSIX reading of the system's own.
        if (accessType != INTERNET_OPEN_TYPE_PRECONFIG || !IsEmpty(proxy) || !IsEmpty(proxyBypass) ||
            flags != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto session = std::make_shared<InternetObject>();
        session->kind = InternetKind::Session;
        session->userAgent = Utf8(agent);
        return nalpoicomm::AddInternetObject(std::move(session), nullptr, InternetKind::Session);
    });
}

HINTERNET InternetConnectW(HINTERNET session, LPCWSTR serverName, INTERNET_PORT serverPort,
                           LPCWSTR userName, LPCWSTR password, DWORD service, DWORD flags,
                           DWORD_PTR /*context*/) {
    return Guarded([&]() -> HINTERNET {
        if (IsEmpty(serverName) || service != INTERNET_SERVICE_HTTP || flags != 0 ||
            !IsEmpty(userName) || !IsEmpty(password)) {  // no credentials are ever sent
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto connection = std::make_shared<InternetObject>();
        connection->kind = InternetKind::Connection;
        connection->host = Utf8(serverName);
        connection->port = serverPort == INTERNET_INVALID_PORT_NUMBER ? INTERNET_DEFAULT_HTTP_PORT
                                                                      : serverPort;
        return nalpoicomm::AddInternetObject(std::move(connection), session, InternetKind::Session);
    });
}

HINTERNET HttpOpenRequestW(HINTERNET connection, LPCWSTR verb, LPCWSTR objectName,
                           LPCWSTR version, LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags,
                           DWORD_PTR /*context*/) {
    return Guarded([&]() -> HINTERNET {
        const std::string method = IsEmpty(verb) ? std::string("GET") : Utf8(verb);
        if ((method != "POST" && method != "GET") || version != nullptr || referrer != nullptr ||
            acceptTypes != nullptr ||
            (flags & ~(INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_AUTO_REDIRECT)) != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto request = std::make_shared<InternetObject>();
        request->kind = InternetKind::Request;
        request->verb = method;
        request->path = IsEmpty(objectName) ? std::string("/") : Utf8(objectName);
        request->secure = (flags & INTERNET_FLAG_SECURE) != 0;
        request->followRedirects = (flags & INTERNET_FLAG_NO_AUTO_REDIRECT) == 0;
        // Made before the handle is published, so a close from another thread
        // only ever sees a complete transfer.
        request->transfer = std::make_unique<nalpoicomm::HttpTransfer>();
        return nalpoicomm::AddInternetObject(std::move(request), connection, InternetKind::Connection);
    });
}

BOOL HttpSendRequestExW(HINTERNET handle, INTERNET_BUFFERSW* buffersIn,
                        INTERNET_BUFFERSW* buffersOut, DWORD flags, DWORD_PTR /*context*/) {
    return Guarded([&]() -> BOOL {
        std::shared_ptr<InternetObject> request = FindInternetObject(handle, InternetKind::Request);
        if (!request) return FALSE;
        std::lock_guard<std::mutex> call(request->callMutex);
        if (buffersOut != nullptr || flags != 0) return Fail(ERROR_INVALID_PARAMETER);
        if (buffersIn != nullptr &&
            (buffersIn->dwStructSize != sizeof(INTERNET_BUFFERSW) || buffersIn->Next != nullptr ||
             buffersIn->lpcszHeader != nullptr || buffersIn->lpvBuffer != nullptr)) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        if (request->state != RequestState::Opened) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        request->announcedLength = buffersIn != nullptr ? buffersIn->dwBufferTotal : 0;
        request->body.clear();
        request->state = RequestState::Sending;
        return TRUE;
    });
}

BOOL InternetWriteFile(HINTERNET handle, LPCVOID buffer, DWORD numberOfBytesToWrite,
                       LPDWORD numberOfBytesWritten) {
    return Guarded([&]() -> BOOL {
        std::shared_ptr<InternetObject> request = FindInternetObject(handle, InternetKind::Request);
        if (!request) return FALSE;
        std::lock_guard<std::mutex> call(request->callMutex);
        if (numberOfBytesWritten == nullptr || (buffer == nullptr && numberOfBytesToWrite != 0)) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *numberOfBytesWritten = 0;
        if (request->state != RequestState::Sending) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        // The announced Content-Length is what goes on the wire: more is refused.
        if (numberOfBytesToWrite > request->announcedLength - request->body.size()) {
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        request->body.append(static_cast<const char*>(buffer), numberOfBytesToWrite);
        *numberOfBytesWritten = numberOfBytesToWrite;
        return TRUE;
    });
}

BOOL HttpEndRequestW(HINTERNET handle, INTERNET_BUFFERSW* buffersOut, DWORD flags,
                     DWORD_PTR /*context*/) {
    return Guarded([&]() -> BOOL {
        std::shared_ptr<InternetObject> request = FindInternetObject(handle, InternetKind::Request);
        if (!request) return FALSE;
        std::lock_guard<std::mutex> call(request->callMutex);
        if (buffersOut != nullptr || flags != 0) return Fail(ERROR_INVALID_PARAMETER);
        if (request->state != RequestState::Sending ||
            request->body.size() != request->announcedLength) {  // a short body would stall the peer
            return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        }
        const DWORD error =
            request->transfer->Perform(RequestUrl(*request), request->verb, request->body,
                                       request->userAgent, request->followRedirects);
        KeepResponseWords(error != ERROR_SUCCESS ? request->transfer->ErrorText() : "");
        if (error != ERROR_SUCCESS) return Fail(error);
        request->state = RequestState::Received;
        return TRUE;
    });
}

BOOL HttpQueryInfoW(HINTERNET handle, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength,
                    LPDWORD index) {
    return Guarded([&]() -> BOOL {
        std::shared_ptr<InternetObject> request = FindInternetObject(handle, InternetKind::Request);
        if (!request) return FALSE;
        std::lock_guard<std::mutex> call(request->callMutex);
        const bool status = infoLevel == (HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER);
        if (!status && infoLevel != (HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER)) {
            return Fail(ERROR_NOT_SUPPORTED);
        }
        if (buffer == nullptr || bufferLength == nullptr || (index != nullptr && *index != 0)) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        if (request->state != RequestState::Received) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        if (*bufferLength != sizeof(DWORD)) return Fail(ERROR_HTTP_INVALID_HEADER);
        if (status) {
            const DWORD code = static_cast<DWORD>(request->transfer->StatusCode());
            std::memcpy(buffer, &code, sizeof code);
            return TRUE;
        }
        for (const std::string& line : request->transfer->Headers()) {
            static constexpr char kName[] = "Content-Length:";
            if (strncasecmp(line.c_str(), kName, sizeof kName - 1) != 0) continue;
            DWORD length = 0;
            if (!ParseContentLength(line.c_str() + sizeof kName - 1, length)) {
                return Fail(ERROR_HTTP_INVALID_HEADER);
            }
            std::memcpy(buffer, &length, sizeof length);
            return TRUE;
        }
        return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
    });
}

BOOL InternetReadFile(HINTERNET handle, LPVOID buffer, DWORD numberOfBytesToRead,
                      LPDWORD numberOfBytesRead) {
    return Guarded([&]() -> BOOL {
        if (numberOfBytesRead != nullptr) *numberOfBytesRead = 0;
        std::shared_ptr<InternetObject> request = FindInternetObject(handle, InternetKind::Request);
        if (!request) return FALSE;
        std::lock_guard<std::mutex> call(request->callMutex);
        if (numberOfBytesRead == nullptr || (buffer == nullptr && numberOfBytesToRead != 0)) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        if (request->state != RequestState::Received) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        // A synchronous read fills the buffer: it returns fewer bytes only at
        // the end of the body, however the body was split on the way. A
        // failure part way fails the whole call, as in WinINet.
        auto* destination = static_cast<unsigned char*>(buffer);
        std::size_t total = 0;
        while (total < numberOfBytesToRead) {
            std::size_t delivered = 0;
            const DWORD error =
                request->transfer->Read(destination + total, numberOfBytesToRead - total, delivered);
            if (error != ERROR_SUCCESS) return Fail(error);
            if (delivered == 0) break;
            total += delivered;
        }
        *numberOfBytesRead = static_cast<DWORD>(total);
        return TRUE;
    });
}

BOOL InternetGetLastResponseInfoW(LPDWORD error, LPWSTR buffer, LPDWORD bufferLength) {
    return Guarded([&]() -> BOOL {
        if (error == nullptr || bufferLength == nullptr) return Fail(ERROR_INVALID_PARAMETER);
        *error = 0;
        const int needed = gLastResponseWords[0] == 0
                               ? 1
                               : MultiByteToWideChar(CP_ACP, 0, gLastResponseWords, -1, nullptr, 0);
        if (buffer == nullptr || *bufferLength < static_cast<DWORD>(needed)) {
            *bufferLength = static_cast<DWORD>(needed);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        buffer[0] = 0;
        if (gLastResponseWords[0] != 0) {
            MultiByteToWideChar(CP_ACP, 0, gLastResponseWords, -1, buffer, needed);
        }
        *bufferLength = static_cast<DWORD>(needed - 1);
        return TRUE;
    });
}

BOOL InternetCloseHandle(HINTERNET handle) {
    return nalpoicomm::CloseInternetObject(handle) ? TRUE : FALSE;
}
