// One HTTP transfer on libcurl's multi interface, driven by the thread that
// calls into it, in the way WinINet hands a response over: Perform() returns
// once the final response headers are in, Read() then pulls the body piece by
// piece. The body is never buffered whole ahead of the reader: the write
// callback pauses the transfer when the bounded buffer is full. Each hop runs
// on a channel of the connection pool (connection_pool.h), so a later call to
// the same server reuses the connection when this one ended cleanly.
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
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/connection_pool.h"
#include "platform/win32_api.h"

namespace nalpoicomm {

class HttpTransfer {
public:
    HttpTransfer();
    // Finishes the last hop: its connection goes back to the pool when the
    // body has been read to its end (or has arrived whole), else it is closed.
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
    // ERROR_NOT_ENOUGH_MEMORY when bytes were lost for want of memory. The
    // body ends where the first Content-Length says, as in WinINet.
    DWORD Read(void* destination, std::size_t capacity, std::size_t& delivered);

    // The final response's header lines ("Name: value", no CR LF).
    const std::vector<std::string>& Headers() const { return headers_; }
    long StatusCode() const { return status_; }

    // Makes a blocked or later call fail with ERROR_INTERNET_OPERATION_CANCELLED.
    // `interrupting`: the exchange is cut short (its session or connection was
    // closed), so its connection is not kept; a request closed when no call
    // runs on it is closed normally.
    void Abort(bool interrupting);

    // libcurl's words for the last failure, empty when there was none.
    const char* ErrorText() const { return errorText_; }

private:
    DWORD Start(const std::string& url, bool post, bool secure);
    DWORD TransferError() const;
    // Ends the current hop and hands its channel back to the pool.
    void Finish() noexcept;
    // As WinINet drains a body on close: takes, without waiting, what has
    // already arrived, so that a body that came whole completes the transfer
    // and its connection can be kept.
    void DrainArrived() noexcept;
    // Drives the transfer until `ready()` holds, the transfer is done, or it
    // was aborted.
    template <typename Ready>
    DWORD Drive(Ready ready);
    void CollectMessages();
    std::size_t Buffered() const { return buffer_.size() - readPos_; }
    // Whether WinINet would keep the connection after this response.
    bool KeepsConnection() const;
    DWORD FollowRedirect(std::string& url, bool& post, bool& secure);

    // libcurl's header and write callback, calling `Take` on the transfer.
    template <std::size_t (HttpTransfer::*Take)(const char*, std::size_t)>
    static std::size_t Callback(char* data, std::size_t size, std::size_t count,
                                void* self) noexcept;
    std::size_t TakeHeader(const char* data, std::size_t length);
    std::size_t TakeBody(const char* data, std::size_t length);

    // The hop's channel. Only the driving thread replaces it, under the
    // mutex, so that Abort() from another thread always wakes a live one.
    std::mutex channelMutex_;
    std::unique_ptr<Channel> channel_;
    std::shared_ptr<TlsTrust> trust_;  // held as long as the easy handle that uses it
    CURL* easy_ = nullptr;
    curl_slist* headerList_ = nullptr;
    std::atomic<bool> aborted_{false};
    std::atomic<bool> interrupted_{false};  // aborted under a running call, or with an ancestor
    std::atomic<bool> inCall_{false};       // Perform() or Read() runs
    std::atomic<bool> polling_{false};      // the driving thread sleeps in curl_multi_poll

    std::string body_;
    std::string userAgent_;
    std::string currentUrl_;
    int redirects_ = 0;

    std::string statusLine_;                   // of the response being received
    std::vector<std::string> pendingHeaders_;  // headers of the response being received
    std::vector<std::string> headers_;         // headers of the final response
    bool headersComplete_ = false;
    long status_ = 0;

    std::string buffer_;  // body bytes not yet read, from readPos_
    std::size_t readPos_ = 0;
    bool paused_ = false;
    bool done_ = false;
    bool discarding_ = false;   // draining: body bytes are dropped
    bool outOfMemory_ = false;  // a callback could not take what curl gave it
    CURLcode result_ = CURLE_OK;
    char errorText_[CURL_ERROR_SIZE] = {};  // libcurl's words for a failure (names TLS failures)
};

}  // namespace nalpoicomm

#endif
