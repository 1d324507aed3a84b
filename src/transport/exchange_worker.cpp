#include "transport/exchange_worker.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "encoding/base64.h"
#include "transport/exchange_observer.h"
#include "transport/exchange_slots.h"
#include "transport/service_config.h"
#include "transport/service_url.h"
#include "transport/text_conversion.h"

namespace nalpoicomm {
namespace {

constexpr DWORD kWorkerSucceeded = 1;
constexpr DWORD kWorkerFailed = 0xFFFFFFFFu;  // -1
// An https URL is spoken to over TLS with the peer verified, and follows no
// redirect: WinINet would follow one to http in clear text, and cannot be
// told to refuse that hop alone.
constexpr DWORD kSecureRequestFlags = INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_AUTO_REDIRECT;

// Closes the request, then the connection, on every way out.
struct ExchangeHandles {
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    ~ExchangeHandles() {
        if (request != nullptr) InternetCloseHandle(request);
        if (connection != nullptr) InternetCloseHandle(connection);
    }
};

// Appends the chunk's text (up to its first zero byte) to the reply store,
// never past its last byte: what does not fit is cut.
void AppendToReplyStore(char* store, std::size_t& used, const char* chunk) {
    const std::size_t room = kReplyStoreSize - 1 - used;
    const std::size_t length = strnlen(chunk, room);
    std::memcpy(store + used, chunk, length);
    used += length;
    store[used] = 0;
}

struct FreeBlock {
    void operator()(void* block) const { std::free(block); }
};

// The platform's own account of the last failure on this thread, for an observer.
std::string LastResponseWords() {
    DWORD error = 0;
    WCHAR words[512] = {};
    DWORD length = sizeof words / sizeof words[0];
    if (!InternetGetLastResponseInfoW(&error, words, &length)) return std::string();
    char text[sizeof words] = {};
    WideToAnsi(words, text, sizeof text);
    return text;
}

// Opens the request and sends it; the final response's headers are in on
// true. On false the platform's last error says why.
bool SendRequest(ExchangeSlots& state, const ServiceUrlParts& parts, ExchangeHandles& handles,
                 DWORD requestLength) {
    handles.connection = InternetConnectW(state.SessionHandle, parts.host, parts.port,
                                          PLATFORM_WIDE(""), PLATFORM_WIDE(""),
                                          INTERNET_SERVICE_HTTP, 0, 0);
    if (handles.connection == nullptr) return false;
    handles.request = HttpOpenRequestW(handles.connection, PLATFORM_WIDE("POST"), parts.path, nullptr,
                                       nullptr, nullptr, parts.secure ? kSecureRequestFlags : 0, 0);
    if (handles.request == nullptr) return false;
    INTERNET_BUFFERS buffers;
    std::memset(&buffers, 0, sizeof buffers);
    buffers.dwStructSize = sizeof buffers;
    buffers.dwBufferTotal = requestLength;
    if (!HttpSendRequestExW(handles.request, &buffers, nullptr, 0, 0)) return false;
    DWORD written = 0;
    if (!InternetWriteFile(handles.request, state.RequestText, requestLength, &written)) {
        return false;
    }
    return HttpEndRequestW(handles.request, nullptr, 0, 0) != FALSE;
}

// Tells the sending's outcome to an observer, with the HTTP status on success.
void TellSent(ExchangeObserver& observer, bool sent, HINTERNET request, DWORD requestLength) {
    const DWORD error = sent ? ERROR_SUCCESS : GetLastError();
    DWORD status = 0;
    DWORD size = sizeof status;
    if (sent && !HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                                &size, nullptr)) {
        status = 0;
    }
    const std::string words = sent ? std::string() : LastResponseWords();
    observer.Sent(requestLength, error, status, words.c_str());
}

bool RunExchange(ExchangeSlots& state) {
    ExchangeObserver* const observer = state.Observer;
    ServiceConfigReading reading;
    std::unique_ptr<WCHAR, FreeBlock> url(ReadServiceUrl(observer != nullptr ? &reading : nullptr));
    if (observer != nullptr) observer->ConfigRead(reading);
    if (url == nullptr) return false;

    ServiceUrlParts parts;
    const bool split = SplitServiceUrl(url.get(), parts);
    url.reset();
    if (observer != nullptr) observer->UrlSplit(split, parts);
    if (!split) return false;  // nothing to connect to

    ExchangeHandles handles;
    const DWORD requestLength = static_cast<DWORD>(std::strlen(state.RequestText));
    const bool sent = SendRequest(state, parts, handles, requestLength);
    if (observer != nullptr) TellSent(*observer, sent, handles.request, requestLength);
    if (!sent) return false;

    DWORD contentLength = 0;
    DWORD lengthSize = sizeof contentLength;
    const bool lengthRead =
        HttpQueryInfoW(handles.request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                       &contentLength, &lengthSize, nullptr) != FALSE;
    if (observer != nullptr) observer->LengthRead(lengthRead ? ERROR_SUCCESS : GetLastError(), contentLength);
    if (!lengthRead || !ContentLengthTaken(contentLength)) return false;

    if (state.ReplyBuffer != nullptr) std::free(state.ReplyBuffer);
    // Only what the text holds is ever read: the store is kept
    // zero-terminated as it fills, and needs no zeros beyond.
    state.ReplyBuffer = static_cast<char*>(std::malloc(kReplyStoreSize));
    if (state.ReplyBuffer == nullptr) return false;
    state.ReplyBuffer[0] = 0;

    char chunk[kReadChunkSize + 1];
    std::size_t used = 0;
    DWORD remaining = contentLength;
    for (;;) {
        DWORD received = 0;
        if (!InternetReadFile(handles.request, chunk, kReadChunkSize, &received)) {
            // Bytes lost for want of memory would make a shortened reply
            // look whole; any other failed read ends the body as it stands.
            if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY) return false;
            break;
        }
        if (received == 0) break;  // a body shorter than announced keeps what arrived
        // Bytes past the announced length are not part of this reply.
        const DWORD kept = received < remaining ? received : remaining;
        chunk[kept] = 0;
        AppendToReplyStore(state.ReplyBuffer, used, chunk);
        if (kept == remaining) break;
        remaining -= kept;
    }

    if (observer != nullptr) observer->BodyRead(state.ReplyBuffer, used, contentLength);
    // Decoded straight into the reply text: it is never longer than the
    // characters it comes from, and ends at its first zero byte.
    state.ReplyText = static_cast<char*>(std::malloc(used + 1));
    if (state.ReplyText == nullptr) return false;
    const std::size_t decodedLength = Base64DecodeInto(state.ReplyBuffer, used, state.ReplyText);
    const std::size_t textLength = strnlen(state.ReplyText, decodedLength);
    state.ReplyText[textLength] = 0;
    if (observer != nullptr) observer->Decoded(state.ReplyText, textLength);
    if (!ReplyTextTaken(textLength)) return false;  // buffers stay for the caller's release

    std::free(state.ReplyBuffer);
    state.ReplyBuffer = nullptr;
    return true;
}

}  // namespace

bool ContentLengthTaken(DWORD length) { return length != 0 && length < kReplyStoreSize; }

bool ReplyTextTaken(std::size_t textLength) { return textLength >= 2; }

DWORD WINAPI ExchangeWorker(LPVOID slots) {
    ExchangeSlots& state = *static_cast<ExchangeSlots*>(slots);
    state.ExchangeOutcome = 0;
    bool succeeded = false;
    try {
        succeeded = RunExchange(state);
    } catch (...) {
        // An exception must not end the thread (and the host): it fails the exchange.
    }
    if (!succeeded) return kWorkerFailed;
    state.ExchangeOutcome = 1;  // after the handles are closed
    return kWorkerSucceeded;
}

}  // namespace nalpoicomm
