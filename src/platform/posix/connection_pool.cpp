#include "platform/posix/connection_pool.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "platform/posix/url_parts.h"

namespace nalpoicomm {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

// The idle channels. One object for the life of the process (never
// destroyed, so a call still running at exit finds it); ClosePool(), run at
// exit or unload, frees its channels and makes it pool nothing from then on.
class ChannelPool {
public:
    std::unique_ptr<Channel> Take(const std::string& key) noexcept {
        Displaced leaving;
        std::unique_ptr<Channel> found;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Sweep(leaving);
            for (auto& slot : idle_) {
                if (slot && slot->key_ == key) {
                    found = std::move(slot);
                    break;
                }
            }
        }
        leaving.Free();
        return found ? std::move(found) : Channel::Open(key);
    }

    void Give(std::unique_ptr<Channel> channel, bool cleanly) noexcept {
        Displaced leaving;
        if (!cleanly || !channel->HoldsConnection() || channel->owner_ != getpid()) {
            leaving.Add(std::move(channel));
            leaving.Free();
            return;
        }
        channel->idleSince_ = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Sweep(leaving);
            if (closed_) {
                leaving.Add(std::move(channel));
            } else {
                // One idle connection per server: the one just used replaces
                // an older one; otherwise a free slot, else the oldest's.
                std::unique_ptr<Channel>* place = nullptr;
                for (auto& slot : idle_) {
                    if (slot && slot->key_ == channel->key_) place = &slot;
                }
                for (auto& slot : idle_) {
                    if (place == nullptr && !slot) place = &slot;
                }
                if (place == nullptr) {
                    place = &idle_[0];
                    for (auto& slot : idle_) {
                        if (slot->idleSince_ < (*place)->idleSince_) place = &slot;
                    }
                }
                leaving.Add(std::move(*place));
                *place = std::move(channel);
            }
        }
        leaving.Free();
    }

    void Close() noexcept {
        Displaced leaving;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
            TakeInherited(leaving);
            for (auto& slot : idle_) leaving.Add(std::move(slot));
        }
        leaving.Free();
    }

private:
    // Channels leaving the pool, freed once the pool's lock is released:
    // freeing closes sockets and may take a moment. A fixed array, so that
    // handing a channel back never allocates.
    class Displaced {
    public:
        void Add(std::unique_ptr<Channel> channel) noexcept {
            if (channel) channels_[count_++] = std::move(channel);
        }
        void Free() noexcept {
            for (std::size_t i = 0; i < count_; ++i) {
                std::unique_ptr<Channel>& channel = channels_[i];
                // A channel a forked child inherited is its parent's: freed
                // only once none of its sockets reaches the parent's peer.
                if (channel->owner_ != getpid() && !channel->LetGoOfInheritedSockets()) {
                    (void)channel.release();  // deliberately left alone
                }
                channel.reset();
            }
            count_ = 0;
        }

    private:
        std::unique_ptr<Channel> channels_[kMaxIdleChannels + 1];
        std::size_t count_ = 0;
    };

    // Under the lock: what a forked child inherited, and what has been idle
    // too long, leave the pool.
    void Sweep(Displaced& leaving) noexcept {
        TakeInherited(leaving);
        const auto oldest = Clock::now() - std::chrono::seconds(kIdleLimitSeconds);
        for (auto& slot : idle_) {
            if (slot && slot->idleSince_ <= oldest) leaving.Add(std::move(slot));
        }
    }

    void TakeInherited(Displaced& leaving) noexcept {
        const pid_t self = getpid();
        if (owner_ == self) return;
        owner_ = self;
        for (auto& slot : idle_) leaving.Add(std::move(slot));
    }

    std::mutex mutex_;
    std::unique_ptr<Channel> idle_[kMaxIdleChannels];
    pid_t owner_ = getpid();
    bool closed_ = false;
};

namespace {

void ClosePool();

ChannelPool& Pool() {
    // Static storage that is never destroyed, and no allocation.
    alignas(ChannelPool) static unsigned char storage[sizeof(ChannelPool)];
    static ChannelPool* const pool = [] {
        auto* created = new (storage) ChannelPool;
        std::atexit(ClosePool);  // also run when the library is unloaded
        return created;
    }();
    return *pool;
}

void ClosePool() { Pool().Close(); }

}  // namespace

std::unique_ptr<Channel> Channel::Open(const std::string& key) noexcept {
    std::unique_ptr<Channel> channel(new (std::nothrow) Channel);
    if (!channel) return nullptr;
    try {
        channel->key_ = key;
    } catch (...) {
        return nullptr;
    }
    channel->owner_ = getpid();
    channel->multi_ = curl_multi_init();
    if (channel->multi_ == nullptr) return nullptr;
    curl_multi_setopt(channel->multi_, CURLMOPT_MAXCONNECTS, 1L);
    return channel;
}

Channel::~Channel() {
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

void Channel::Attach(CURL* easy) noexcept {
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &Channel::OpenSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &Channel::CloseSocket);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
    // The connection's own check, for one that waited in the pool past the limit.
    curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, kIdleLimitSeconds);
}

bool Channel::HoldsConnection() const noexcept { return socketCount_ > 0; }

curl_socket_t Channel::OpenSocket(void* self, curlsocktype /*purpose*/, curl_sockaddr* address) {
    auto* channel = static_cast<Channel*>(self);
    if (channel->socketCount_ == kMaxSockets) return CURL_SOCKET_BAD;
    // Close-on-exec: a kept connection must not live on in a program the host starts.
    const int socket = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (socket >= 0) channel->sockets_[channel->socketCount_++] = socket;
    return socket >= 0 ? socket : CURL_SOCKET_BAD;
}

int Channel::CloseSocket(void* self, curl_socket_t socket) {
    auto* channel = static_cast<Channel*>(self);
    for (int i = 0; i < channel->socketCount_; ++i) {
        if (channel->sockets_[i] == socket) {
            channel->sockets_[i] = channel->sockets_[--channel->socketCount_];
            break;
        }
    }
    return close(socket);
}

bool Channel::LetGoOfInheritedSockets() noexcept {
    const int nothing = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nothing < 0) return false;
    bool replaced = true;
    for (int i = 0; i < socketCount_; ++i) {
        while (dup3(nothing, sockets_[i], O_CLOEXEC) < 0) {
            if (errno != EINTR) {
                replaced = false;
                break;
            }
        }
    }
    close(nothing);
    return replaced;
}

std::string ChannelKey(const std::string& url, const std::string& trustIdentity) {
    std::string key;
    const CurlUrl parts = NewCurlUrl();
    if (parts && curl_url_set(parts.get(), CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        key = UrlPart(parts.get(), CURLUPART_SCHEME) + "://" + UrlPart(parts.get(), CURLUPART_HOST) + ":" +
              UrlPart(parts.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    }
    if (key.empty()) key = url;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // The proxy a connection goes through is libcurl's reading of these.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY"}) {
        const char* value = std::getenv(name);
        key += '\n';
        if (value != nullptr) key += value;
    }
    return key + '\n' + trustIdentity;
}

std::unique_ptr<Channel> TakeChannel(const std::string& key) noexcept { return Pool().Take(key); }

void GiveBackChannel(std::unique_ptr<Channel> channel, bool cleanly) noexcept {
    if (channel) Pool().Give(std::move(channel), cleanly);
}


namespace {

// A file's or directory's state as far as a change to it matters: empty when
// it cannot be read.
std::string FileState(const std::string& path) {
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0) return std::string();
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
}

// Whether libcurl speaks TLS through the OpenSSL this process links, so that
// a store made here may go into its TLS contexts.
bool CurlSpeaksThisOpenSsl() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info == nullptr || info->ssl_version == nullptr) return false;
    const std::string expected = "OpenSSL/" + std::to_string(OPENSSL_version_major()) + ".";
    return std::strncmp(info->ssl_version, expected.c_str(), expected.size()) == 0;
}

// As libcurl builds its store: each file that is set must load, and an
// intermediate in it is a trust anchor too.
X509_STORE* ParseStore(const std::string& file, const std::string& dir) {
    X509_STORE* store = X509_STORE_new();
    if (store == nullptr) return nullptr;
    X509_STORE_set_flags(store, X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
    const bool loaded = (file.empty() || X509_STORE_load_file(store, file.c_str()) == 1) &&
                        (dir.empty() || X509_STORE_load_path(store, dir.c_str()) == 1);
    ERR_clear_error();
    if (loaded) return store;
    X509_STORE_free(store);
    return nullptr;
}

// The kept settings, newest first. Never destroyed: what it holds is memory
// only, freed with the process.
struct TrustCache {
    std::mutex mutex;
    std::shared_ptr<TlsTrust> kept[kMaxTrustSettings];
};

TrustCache& Trusts() {
    alignas(TrustCache) static unsigned char storage[sizeof(TrustCache)];
    static TrustCache* const cache = new (storage) TrustCache;
    return *cache;
}

}  // namespace

TlsTrust::~TlsTrust() {
    if (sessions_ != nullptr) curl_share_cleanup(sessions_);
    X509_STORE_free(static_cast<X509_STORE*>(store_));
}

CURLcode TlsTrust::InstallInto(void* sslContext) const noexcept {
    if (store_ == nullptr) return CURLE_SSL_CACERT_BADFILE;
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), static_cast<X509_STORE*>(store_));
    return CURLE_OK;
}

void TlsTrust::Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<TlsTrust*>(self)->locks_[data].lock();
}

void TlsTrust::Unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<TlsTrust*>(self)->locks_[data].unlock();
}

std::shared_ptr<TlsTrust> KeptTrust(const std::string& file, const std::string& dir) noexcept {
    try {
        const std::string identity = file + '\n' + dir + '\n' + FileState(file) + '\n' + FileState(dir);
        TrustCache& cache = Trusts();
        {
            std::lock_guard<std::mutex> lock(cache.mutex);
            for (std::size_t i = 0; i < kMaxTrustSettings; ++i) {
                if (cache.kept[i] && cache.kept[i]->identity_ == identity) {
                    std::shared_ptr<TlsTrust> found = cache.kept[i];
                    std::rotate(cache.kept, cache.kept + i, cache.kept + i + 1);
                    return found;
                }
            }
        }
        // Parsed outside the lock: it takes a while, and another thread's
        // call must not wait for it.
        std::shared_ptr<TlsTrust> trust(new TlsTrust);
        trust->file_ = file;
        trust->dir_ = dir;
        trust->identity_ = identity;
        trust->kept_ = CurlSpeaksThisOpenSsl();
        if (trust->kept_) trust->store_ = ParseStore(file, dir);
        trust->sessions_ = curl_share_init();
        if (trust->sessions_ != nullptr &&
            (curl_share_setopt(trust->sessions_, CURLSHOPT_LOCKFUNC, &TlsTrust::Lock) != CURLSHE_OK ||
             curl_share_setopt(trust->sessions_, CURLSHOPT_UNLOCKFUNC, &TlsTrust::Unlock) != CURLSHE_OK ||
             curl_share_setopt(trust->sessions_, CURLSHOPT_USERDATA, trust.get()) != CURLSHE_OK ||
             curl_share_setopt(trust->sessions_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK)) {
            curl_share_cleanup(trust->sessions_);
            trust->sessions_ = nullptr;  // sessions then stay with their connection
        }
        std::shared_ptr<TlsTrust> dropped;
        {
            std::lock_guard<std::mutex> lock(cache.mutex);
            dropped = std::move(cache.kept[kMaxTrustSettings - 1]);
            std::move_backward(cache.kept, cache.kept + kMaxTrustSettings - 1, cache.kept + kMaxTrustSettings);
            cache.kept[0] = trust;
        }
        return trust;
    } catch (...) {
        return nullptr;
    }
}

}  // namespace nalpoicomm
