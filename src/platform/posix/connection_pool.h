// What the platform layer keeps between calls: idle connections, in one
// process-wide pool, as WinINet keeps them.
//
// A Channel is a libcurl multi handle that one transfer at a time drives,
// whose connection cache holds at most one connection, to the one server
// named by its key (scheme, host, port, proxy settings and, over TLS, the
// trust setting). When a transfer ends cleanly libcurl leaves its connection
// in that cache; the channel then waits in the pool for the next request to
// the same key. Any other end (a time-out, an abort, a body not read to its
// end, a reply without a length, an error) closes the connection, and a
// channel without one is freed rather than pooled.
//
// Kept, and for how long: at most one idle channel per key and
// kMaxIdleChannels in all, the oldest making room; one idle for
// kIdleLimitSeconds is never used again and is closed by the next call that
// takes or returns a channel. No thread or timer is involved.
//
// Beside the connections, for TLS, each trust setting's parsed store and the
// TLS sessions made under it (TlsTrust): the store is parsed once per
// setting and again when one of its files changes, and a new connection to a
// server seen before resumes its session where the server allows it. A
// session is only ever resumed under the setting that verified its peer.
// The last kMaxTrustSettings settings are kept, for the life of the process.
//
// A forked child never uses, writes to or shuts down a connection it
// inherited: the first time it touches the pool, each inherited socket is
// replaced by /dev/null before the channel is freed, and its calls open
// connections of their own (stores and sessions it may share: they hold no
// connection). At exit or unload the idle channels are closed; closing a
// socket never blocks.
#ifndef NALPOICOMM_PLATFORM_POSIX_CONNECTION_POOL_H
#define NALPOICOMM_PLATFORM_POSIX_CONNECTION_POOL_H

#include <curl/curl.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace nalpoicomm {

// WinINet's COLLECT_TIME: an idle connection older than this is not reused.
constexpr long kIdleLimitSeconds = 60;
// Idle connections kept in all; a host talks to one service, rarely more.
constexpr std::size_t kMaxIdleChannels = 4;
// Trust settings kept parsed; a process changes its setting rarely, if ever.
constexpr std::size_t kMaxTrustSettings = 4;

class Channel {
public:
    // A new channel for `key`, or null when libcurl has no memory for it.
    static std::unique_ptr<Channel> Open(const std::string& key) noexcept;
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    CURLM* Multi() const { return multi_; }
    const std::string& Key() const { return key_; }

    // Makes the sockets of `easy`'s connections the channel's, so that it
    // knows whether it holds one and can let go of them in a forked child.
    void Attach(CURL* easy) noexcept;
    bool HoldsConnection() const noexcept;

private:
    friend class ChannelPool;
    // Enough for a connection being replaced while the next one is made,
    // with one attempt per address family.
    static constexpr int kMaxSockets = 8;

    Channel() = default;
    static curl_socket_t OpenSocket(void* self, curlsocktype purpose, curl_sockaddr* address);
    static int CloseSocket(void* self, curl_socket_t socket);
    // In a forked child: points every socket at /dev/null, so that freeing
    // the channel reaches none of the parent's connections. False when that
    // could not be done; the channel must then be left alone.
    bool LetGoOfInheritedSockets() noexcept;

    CURLM* multi_ = nullptr;
    std::string key_;
    int sockets_[kMaxSockets] = {};
    int socketCount_ = 0;
    pid_t owner_ = 0;  // the process whose connections these are
    std::chrono::steady_clock::time_point idleSince_{};
};

// The key of the channels for `url`: its scheme, host (in lower case) and
// port, the proxy settings libcurl reads, and over TLS `trustIdentity`.
std::string ChannelKey(const std::string& url, const std::string& trustIdentity);

// The channel pooled for `key`, or a new one; null when out of memory.
std::unique_ptr<Channel> TakeChannel(const std::string& key) noexcept;

// Hands a channel back once its transfer has been removed: pooled when its
// exchange ended `cleanly` and libcurl kept its connection, freed (its
// connection closed) otherwise. Never allocates.
void GiveBackChannel(std::unique_ptr<Channel> channel, bool cleanly) noexcept;

// The trust of one setting: the store that verifies peers, parsed by this
// process's OpenSSL when libcurl speaks TLS through it, and the TLS sessions
// resumed under it. Shared by the transfers that use it.
class TlsTrust {
public:
    ~TlsTrust();
    TlsTrust(const TlsTrust&) = delete;
    TlsTrust& operator=(const TlsTrust&) = delete;

    const std::string& File() const { return file_; }   // empty: none
    const std::string& Dir() const { return dir_; }     // empty: none
    // The setting and its files' state: two transfers with the same identity
    // trust the same certificates.
    const std::string& Identity() const { return identity_; }
    // Whether the store is kept parsed here (libcurl then reads no file);
    // otherwise libcurl is to read File() and Dir() itself, on every connection.
    bool Kept() const { return kept_; }
    // Puts the kept store into a TLS context that libcurl is setting up;
    // CURLE_SSL_CACERT_BADFILE when the files could not be read.
    CURLcode InstallInto(void* sslContext) const noexcept;
    // libcurl's share of TLS sessions under this trust; may be null.
    CURLSH* Sessions() const { return sessions_; }

private:
    friend std::shared_ptr<TlsTrust> KeptTrust(const std::string&, const std::string&) noexcept;
    TlsTrust() = default;
    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self);
    static void Unlock(CURL*, curl_lock_data data, void* self);

    std::string file_, dir_, identity_;
    bool kept_ = false;
    void* store_ = nullptr;  // OpenSSL's X509_STORE, null when the files could not be read
    CURLSH* sessions_ = nullptr;
    std::mutex locks_[CURL_LOCK_DATA_LAST];
};

// The trust of the setting `file` and `dir` (either may be empty), parsed
// now unless an identical one is kept; null when out of memory.
std::shared_ptr<TlsTrust> KeptTrust(const std::string& file, const std::string& dir) noexcept;

}  // namespace nalpoicomm

#endif
