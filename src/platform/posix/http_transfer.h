// One HTTP transfer on libcurl's multi interface, driven by the thread that
// calls into it, in the way WinINet hands a response over: AwaitHeaders()
// returns once the final response headers are in, Read() then pulls the body
// piece by piece. The body is never buffered whole ahead of the reader: the
// write callback pauses the transfer when the bounded buffer is full.
//
// All methods but Abort() must be called from one thread at a time (the
// request handle serialises them). Abort() may be called from any thread; it
// makes a blocked or later call fail promptly with
// ERROR_INTERNET_OPERATION_CANCELLED.
#ifndef NALPOICOMM_PLATFORM_POSIX_HTTP_TRANSFER_H
#define NALPOICOMM_PLATFORM_POSIX_HTTP_TRANSFER_H

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/win32_api.h"

namespace nalpoicomm {

class HttpTransfer {
public:
    HttpTransfer();
    ~HttpTransfer();
    HttpTransfer(const HttpTransfer&) = delete;
    HttpTransfer& operator=(const HttpTransfer&) = delete;

    // Sends `method` (POST with `body`, or GET) to `url` and waits for the final
    // response headers, following redirects as WinINet does when
    // `followRedirects` holds. An https URL goes over TLS with the peer
    // verified (tls_policy.h). ERROR_SUCCESS or a WinINet error code.
    DWORD Perform(const std::string& url, const std::string& method, const std::string& body,
                  const std::string& userAgent, bool followRedirects);

    // Body bytes, up to `capacity`. ERROR_SUCCESS with 0 bytes at the end of
    // the body (also when the connection closed before Content-Length bytes);
    // ERROR_NOT_ENOUGH_MEMORY when bytes were lost for want of memory.
    DWORD Read(void* destination, std::size_t capacity, std::size_t& delivered);

    // The final response's header lines ("Name: value", no CR LF).
    const std::vector<std::string>& Headers() const { return headers_; }
    long StatusCode() const { return status_; }

    void Abort();

    // libcurl's words for the last failure, empty when there was none.
    const char* ErrorText() const { return errorText_; }

private:
    DWORD Start(const std::string& url, bool post, bool secure);
    DWORD TransferError() const;
    void Finish();
    // Drives the transfer until `ready()` holds, the transfer is done, or it
    // was aborted.
    template <typename Ready>
    DWORD Drive(Ready ready);
    std::size_t Buffered() const { return buffer_.size() - readPos_; }
    bool BodyComplete() const { return bodyLimited_ && bodyLeft_ == 0; }
    void SetBodyLimit();
    DWORD FollowRedirect(std::string& url, bool& post, bool& secure);

    // libcurl's header and write callback, calling `Take` on the transfer.
    template <std::size_t (HttpTransfer::*Take)(const char*, std::size_t)>
    static std::size_t Callback(char* data, std::size_t size, std::size_t count,
                                void* self) noexcept;
    std::size_t TakeHeader(const char* data, std::size_t length);
    std::size_t TakeBody(const char* data, std::size_t length);

    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    curl_slist* headerList_ = nullptr;
    std::atomic<bool> aborted_{false};
    std::atomic<bool> polling_{false};  // the driving thread sleeps in curl_multi_poll

    std::string body_;
    std::string userAgent_;
    std::string currentUrl_;
    int redirects_ = 0;

    std::vector<std::string> pendingHeaders_;  // headers of the response being received
    std::vector<std::string> headers_;         // headers of the final response
    bool headersComplete_ = false;
    long status_ = 0;

    std::string buffer_;  // body bytes not yet read, from readPos_
    std::size_t readPos_ = 0;
    bool paused_ = false;
    bool done_ = false;
    // The body's end as WinINet finds it: after as many bytes as the first
    // Content-Length says, unless the body is chunked. libcurl is told to
    // ignore the header, since it would take the last one.
    bool bodyLimited_ = false;
    unsigned long long bodyLeft_ = 0;
    bool outOfMemory_ = false;  // a callback could not take what curl gave it
    CURLcode result_ = CURLE_OK;
    char errorText_[CURL_ERROR_SIZE] = {};  // libcurl's words for a failure (names TLS failures)
};

}  // namespace nalpoicomm

#endif
