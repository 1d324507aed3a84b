#include "platform/posix/http_transfer.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/posix/header_lines.h"
#include "platform/posix/tls_policy.h"
#include "platform/posix/url_parts.h"

namespace nalpoicomm {
namespace {

// Room for a few of curl's 16 KiB deliveries; past that the transfer pauses.
constexpr std::size_t kBodyBufferLimit = 64 * 1024;
// How long one poll may sleep; a close from another thread wakes it at once.
constexpr int kPollMilliseconds = 1000;
// Redirect hops followed before giving up, as a browser-like client would.
constexpr int kMaxRedirects = 5;
// Rounds of taking what has arrived, when draining a body without waiting.
constexpr int kDrainRounds = 16;

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

DWORD ErrorFromCurl(CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return ERROR_SUCCESS;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return ERROR_INTERNET_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
            return ERROR_INTERNET_CANNOT_CONNECT;
        case CURLE_GOT_NOTHING:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return ERROR_INTERNET_CONNECTION_RESET;
        case CURLE_OUT_OF_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

bool IsSecureUrl(const std::string& url) { return url.compare(0, 8, "https://") == 0; }

bool IsRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Marks a call in progress for as long as it runs, so that an abort
// meanwhile counts as an interruption.
class CallInProgress {
public:
    explicit CallInProgress(std::atomic<bool>& flag) : flag_(flag) { flag_.store(true); }
    ~CallInProgress() { flag_.store(false); }
    CallInProgress(const CallInProgress&) = delete;
    CallInProgress& operator=(const CallInProgress&) = delete;

private:
    std::atomic<bool>& flag_;
};

}  // namespace

// libcurl is C: an exception must not unwind through it. A callback that
// runs out of memory takes nothing, which ends the transfer, and says why.
template <std::size_t (HttpTransfer::*Take)(const char*, std::size_t)>
std::size_t HttpTransfer::Callback(char* data, std::size_t size, std::size_t count,
                                   void* raw) noexcept {
    auto* self = static_cast<HttpTransfer*>(raw);
    try {
        return (self->*Take)(data, size * count);
    } catch (...) {
        self->outOfMemory_ = true;
        return 0;
    }
}

HttpTransfer::HttpTransfer() { InitCurlOnce(); }

HttpTransfer::~HttpTransfer() { Finish(); }

void HttpTransfer::Finish() noexcept {
    bool cleanly = false;
    if (easy_ != nullptr) {
        if (!interrupted_.load() && !done_ && headersComplete_) DrainArrived();
        // libcurl may keep a connection after a transfer that failed before
        // it sent anything (memory, above all); only a whole exchange keeps it.
        cleanly = done_ && result_ == CURLE_OK && headersComplete_ && !outOfMemory_ && !interrupted_.load();
        // An unfinished transfer closes its connection here; a finished one
        // left it in the channel's cache.
        curl_multi_remove_handle(channel_->Multi(), easy_);
        curl_easy_cleanup(easy_);
        easy_ = nullptr;
    }
    if (headerList_ != nullptr) {
        curl_slist_free_all(headerList_);
        headerList_ = nullptr;
    }
    trust_.reset();
    std::unique_ptr<Channel> channel;
    {
        std::lock_guard<std::mutex> lock(channelMutex_);
        channel = std::move(channel_);
    }
    GiveBackChannel(std::move(channel), cleanly);
}

void HttpTransfer::DrainArrived() noexcept {
    discarding_ = true;
    if (paused_) {
        paused_ = false;
        curl_easy_pause(easy_, CURLPAUSE_CONT);
    }
    curl_off_t last = -1;
    for (int round = 0; round < kDrainRounds && !done_; ++round) {
        curl_off_t received = 0;
        curl_easy_getinfo(easy_, CURLINFO_SIZE_DOWNLOAD_T, &received);
        if (received == last) break;  // nothing more has come: the rest is not here yet
        last = received;
        int running = 0;
        if (curl_multi_perform(channel_->Multi(), &running) != CURLM_OK) break;
        CollectMessages();
    }
}

void HttpTransfer::Abort(bool interrupting) {
    if (interrupting || inCall_.load()) interrupted_.store(true);
    aborted_.store(true);
    // Only a sleeping poll needs waking; the driver looks at the flag before
    // every step, and after it has said that it polls.
    std::lock_guard<std::mutex> lock(channelMutex_);
    if (polling_.load() && channel_) curl_multi_wakeup(channel_->Multi());
}

DWORD HttpTransfer::Start(const std::string& url, bool post, bool secure) {
    Finish();
    statusLine_.clear();
    pendingHeaders_.clear();
    headers_.clear();
    headersComplete_ = false;
    status_ = 0;
    buffer_.clear();
    readPos_ = 0;
    paused_ = false;
    done_ = false;
    discarding_ = false;
    outOfMemory_ = false;
    result_ = CURLE_OK;
    errorText_[0] = 0;
    currentUrl_ = url;

    if (secure && (trust_ = CurrentTlsTrust()) == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    std::unique_ptr<Channel> channel = TakeChannel(ChannelKey(url, trust_ ? trust_->Identity() : ""));
    if (!channel) return ERROR_NOT_ENOUGH_MEMORY;
    {
        std::lock_guard<std::mutex> lock(channelMutex_);
        channel_ = std::move(channel);
    }
    if ((easy_ = curl_easy_init()) == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    channel_->Attach(easy_);
    // Headers curl would add by itself and WinINet does not send.
    for (const char* suppressed : {"Accept:", "Content-Type:", "Expect:"}) {
        curl_slist* grown = curl_slist_append(headerList_, suppressed);
        if (grown == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
        headerList_ = grown;
    }
    curl_easy_setopt(easy_, CURLOPT_URL, currentUrl_.c_str());
    curl_easy_setopt(easy_, CURLOPT_PATH_AS_IS, 1L);
    // One scheme per hop: an https hop can never fall back to clear text.
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http");
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorText_);
    if (secure && ApplyTlsPolicy(easy_, *trust_) != CURLE_OK) return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);  // followed here, with WinINet's rules
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headerList_);
    if (!userAgent_.empty()) curl_easy_setopt(easy_, CURLOPT_USERAGENT, userAgent_.c_str());
    if (post) {
        curl_easy_setopt(easy_, CURLOPT_POST, 1L);
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, body_.data());
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
    } else {
        curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION,
                     &HttpTransfer::Callback<&HttpTransfer::TakeHeader>);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &HttpTransfer::Callback<&HttpTransfer::TakeBody>);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    if (curl_multi_add_handle(channel_->Multi(), easy_) != CURLM_OK) return ERROR_INTERNET_INTERNAL_ERROR;
    return ERROR_SUCCESS;
}

template <typename Ready>
DWORD HttpTransfer::Drive(Ready ready) {
    for (;;) {
        if (aborted_.load()) return ERROR_INTERNET_OPERATION_CANCELLED;
        if (ready() || done_) return ERROR_SUCCESS;
        if (paused_ && Buffered() == 0) {
            // Only this thread drives the transfer, so it may resume it here;
            // held bytes are delivered before curl_easy_pause returns.
            paused_ = false;
            curl_easy_pause(easy_, CURLPAUSE_CONT);
            continue;
        }
        int running = 0;
        if (curl_multi_perform(channel_->Multi(), &running) != CURLM_OK) {
            return ERROR_INTERNET_INTERNAL_ERROR;
        }
        CollectMessages();
        if (ready() || done_) continue;
        polling_.store(true);
        const CURLMcode polled =
            aborted_.load() ? CURLM_OK
                            : curl_multi_poll(channel_->Multi(), nullptr, 0, kPollMilliseconds, nullptr);
        polling_.store(false);
        if (polled != CURLM_OK) return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

void HttpTransfer::CollectMessages() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(channel_->Multi(), &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
            done_ = true;
            result_ = message->data.result;
        }
    }
}

// Where the redirect leads: http and https only, and never from https back
// to clear text (WinINet would follow that hop; this layer refuses it).
DWORD HttpTransfer::FollowRedirect(std::string& url, bool& post, bool& secure) {
    const char* location = FindHeader(headers_, "Location");
    if (location == nullptr || *location == 0) return ERROR_HTTP_REDIRECT_FAILED;
    const CurlUrl resolved = NewCurlUrl();
    if (!resolved) return ERROR_NOT_ENOUGH_MEMORY;
    const bool set = curl_url_set(resolved.get(), CURLUPART_URL, currentUrl_.c_str(), 0) == CURLUE_OK &&
                     curl_url_set(resolved.get(), CURLUPART_URL, location, 0) == CURLUE_OK;
    const std::string scheme = set ? UrlPart(resolved.get(), CURLUPART_SCHEME) : std::string();
    const std::string target = set ? UrlPart(resolved.get(), CURLUPART_URL) : std::string();
    DWORD error = (scheme == "http" || scheme == "https") && !target.empty() ? ERROR_SUCCESS
                                                                             : ERROR_HTTP_REDIRECT_FAILED;
    if (error == ERROR_SUCCESS && secure && scheme != "https") error = ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
    if (error == ERROR_SUCCESS) {
        url = target;
        secure = scheme == "https";
    }
    // 301, 302 and 303 are re-sent as GET without a body; 307 and 308 keep
    // the POST and its body.
    if (status_ == 301 || status_ == 302 || status_ == 303) post = false;
    return error;
}

// Why a transfer failed before its headers were in: a TLS failure by its
// WinINet name, else by libcurl's result.
DWORD HttpTransfer::TransferError() const {
    if (outOfMemory_) return ERROR_NOT_ENOUGH_MEMORY;
    const TlsFailure tls = ClassifyTlsFailure(easy_, result_, errorText_);
    if (tls != TlsFailure::kNone) return TlsFailureError(tls);
    const DWORD failure = ErrorFromCurl(result_);
    return failure == ERROR_SUCCESS ? ERROR_HTTP_INVALID_SERVER_RESPONSE : failure;
}

DWORD HttpTransfer::Perform(const std::string& url, const std::string& method,
                            const std::string& body, const std::string& userAgent,
                            bool followRedirects) {
    const CallInProgress running(inCall_);
    body_ = body;
    userAgent_ = userAgent;
    std::string target = url;
    bool post = method == "POST";
    bool secure = IsSecureUrl(url);
    for (redirects_ = 0;; ++redirects_) {
        DWORD error = Start(target, post, secure);
        if (error != ERROR_SUCCESS) return error;
        error = Drive([this] { return headersComplete_; });
        if (error != ERROR_SUCCESS) return error;
        if (!headersComplete_) return TransferError();
        if (!followRedirects || !IsRedirect(status_) || FindHeader(headers_, "Location") == nullptr) {
            return ERROR_SUCCESS;
        }
        if (redirects_ == kMaxRedirects) return ERROR_HTTP_REDIRECT_FAILED;
        error = FollowRedirect(target, post, secure);
        if (error != ERROR_SUCCESS) return error;
    }
}

// WinINet's rule: an HTTP/1.1 response keeps its connection unless a
// Connection (or Proxy-Connection) header says other than Keep-Alive. An
// HTTP/1.0 one never does here, though WinINet keeps it when told
// Keep-Alive: libcurl would send every later request on that connection as
// HTTP/1.0 (lib/http.c, use_http_1_1plus), and the library's are HTTP/1.1.
bool HttpTransfer::KeepsConnection() const {
    if (statusLine_.compare(0, 9, "HTTP/1.1 ") != 0) return false;
    const char* said = FindHeader(pendingHeaders_, "Proxy-Connection");
    if (said == nullptr) said = FindHeader(pendingHeaders_, "Connection");
    if (said == nullptr) return true;
    std::string value = said;
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    return strcasecmp(value.c_str(), "Keep-Alive") == 0;
}

DWORD HttpTransfer::Read(void* destination, std::size_t capacity, std::size_t& delivered) {
    const CallInProgress running(inCall_);
    delivered = 0;
    if (easy_ == nullptr) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    const DWORD error = Drive([this] { return Buffered() > 0; });
    if (error != ERROR_SUCCESS) return error;
    if (Buffered() > 0) {
        delivered = std::min(capacity, Buffered());
        std::memcpy(destination, buffer_.data() + readPos_, delivered);
        readPos_ += delivered;
        if (readPos_ == buffer_.size()) {
            buffer_.clear();
            readPos_ = 0;
        }
        return ERROR_SUCCESS;
    }
    // Done and drained. A body cut short is an ordinary end, as in WinINet.
    // Running out of memory is not an end of the body: what arrived is not all.
    if (outOfMemory_) return ERROR_NOT_ENOUGH_MEMORY;
    if (result_ == CURLE_OK || result_ == CURLE_PARTIAL_FILE) return ERROR_SUCCESS;
    return TransferError();
}

std::size_t HttpTransfer::TakeHeader(const char* data, std::size_t length) {
    if (headersComplete_) return length;  // trailers
    std::string line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.compare(0, 5, "HTTP/") == 0) {
        statusLine_ = line;       // a new response (after 1xx)
        pendingHeaders_.clear();
        curl_easy_setopt(easy_, CURLOPT_IGNORE_CONTENT_LENGTH, 0L);
    } else if (line.empty()) {
        long status = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        // Only signal here: a pause returned from the header callback does not hold.
        if (status >= 200) {
            // libcurl keeps a connection by rules of its own; WinINet's must hold too.
            if (!KeepsConnection()) curl_easy_setopt(easy_, CURLOPT_FORBID_REUSE, 1L);
            status_ = status;
            headers_.swap(pendingHeaders_);
            headersComplete_ = true;
        }
        pendingHeaders_.clear();
    } else {
        // libcurl has read this line already: after the first Content-Length
        // it is told to read no other, since WinINet ends the body where the
        // first one says and libcurl would take the last.
        static constexpr char kLength[] = "Content-Length:";
        if (strncasecmp(line.c_str(), kLength, sizeof kLength - 1) == 0) {
            curl_easy_setopt(easy_, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        }
        pendingHeaders_.push_back(std::move(line));
    }
    return length;
}

std::size_t HttpTransfer::TakeBody(const char* data, std::size_t length) {
    if (discarding_) return length;
    if (aborted_.load()) return 0;  // ends the transfer at once
    if (Buffered() + length > kBodyBufferLimit) {
        paused_ = true;
        return CURL_WRITEFUNC_PAUSE;  // nothing taken; curl holds the bytes
    }
    if (readPos_ > 0) {
        buffer_.erase(0, readPos_);
        readPos_ = 0;
    }
    buffer_.append(data, length);
    return length;
}

}  // namespace nalpoicomm
