// The WinINet handle tree (session > connection > request) of the POSIX
// platform layer. Closing a handle invalidates it and its whole subtree at
// once and aborts every transfer below it; calls already running on those
// handles return ERROR_INTERNET_OPERATION_CANCELLED promptly.
#ifndef NALPOICOMM_PLATFORM_POSIX_INTERNET_HANDLES_H
#define NALPOICOMM_PLATFORM_POSIX_INTERNET_HANDLES_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/posix/http_transfer.h"
#include "platform/win32_api.h"

namespace nalpoicomm {

enum class InternetKind { Session, Connection, Request };

enum class RequestState { Opened, Sending, Received };

struct InternetObject {
    InternetKind kind;
    std::uintptr_t parent = 0;  // 0 for a session
    bool closing = false;       // under the table's lock: being closed with an ancestor
    std::string userAgent;      // UTF-8, inherited down the tree
    std::string host;           // connection and request
    INTERNET_PORT port = 0;

    // Requests only.
    std::mutex callMutex;  // one call at a time on a request
    std::string verb;
    std::string path;
    bool secure = false;           // INTERNET_FLAG_SECURE: https, peer verified
    bool followRedirects = true;   // cleared by INTERNET_FLAG_NO_AUTO_REDIRECT
    RequestState state = RequestState::Opened;
    DWORD announcedLength = 0;
    std::string body;
    std::unique_ptr<HttpTransfer> transfer;
};

// Adds a new object under `parent` (0 for none). Null with the last error
// set when the parent is not open or is of another kind.
HINTERNET AddInternetObject(std::shared_ptr<InternetObject> object, HINTERNET parent,
                            InternetKind parentKind);

// The open object behind `handle` of kind `kind`, or null with the last error set.
std::shared_ptr<InternetObject> FindInternetObject(HINTERNET handle, InternetKind kind);

// Invalidates `handle` and every handle below it, aborting their transfers.
// Allocates nothing and never throws, so a close cannot fail for want of
// memory (the exchange relies on it to end a worker that ran out of time).
bool CloseInternetObject(HINTERNET handle) noexcept;

// Open handles, for tests that check nothing is left behind.
std::size_t OpenInternetHandleCount();

}  // namespace nalpoicomm

#endif
