#include "platform/posix/internet_handles.h"

#include <vector>

#include "platform/posix/handle_table.h"

namespace nalpoicomm {
namespace {

HandleTable<InternetObject>& Table() {
    static HandleTable<InternetObject> table(0xCC0000);
    return table;
}

}  // namespace

HINTERNET AddInternetObject(std::shared_ptr<InternetObject> object, HINTERNET parent,
                            InternetKind parentKind) {
    const auto parentId = reinterpret_cast<std::uintptr_t>(parent);
    return Table().Locked([&](HandleTable<InternetObject>& table) -> HINTERNET {
        if (object->kind != InternetKind::Session) {
            // Checked under the same lock as the insertion, so a child can
            // never be added below a parent that is being closed.
            std::shared_ptr<InternetObject> owner = table.FindLocked(parentId);
            if (!owner) {
                SetLastError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
            if (owner->kind != parentKind) {
                SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
                return nullptr;
            }
            object->parent = parentId;
            object->userAgent = owner->userAgent;
            if (object->kind == InternetKind::Request) {
                object->host = owner->host;
                object->port = owner->port;
            }
        }
        return table.AddLocked(std::move(object));
    });
}

std::shared_ptr<InternetObject> FindInternetObject(HINTERNET handle, InternetKind kind) {
    std::shared_ptr<InternetObject> object = Table().Find(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (object->kind != kind) {
        SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    return object;
}

bool CloseInternetObject(HINTERNET handle) {
    std::vector<std::shared_ptr<InternetObject>> closed;
    Table().Locked([&](HandleTable<InternetObject>& table) {
        std::vector<std::uintptr_t> pending{reinterpret_cast<std::uintptr_t>(handle)};
        while (!pending.empty()) {
            const std::uintptr_t id = pending.back();
            pending.pop_back();
            std::shared_ptr<InternetObject> object = table.RemoveLocked(id);
            if (!object) continue;
            closed.push_back(std::move(object));
            for (std::uintptr_t child :
                 table.IdsWhereLocked([id](const InternetObject& o) { return o.parent == id; })) {
                pending.push_back(child);
            }
        }
    });
    if (closed.empty()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // Outside the table lock: a call blocked in a transfer holds its own
    // reference and returns as soon as it sees the abort.
    for (const auto& object : closed) {
        if (object->transfer) object->transfer->Abort();
    }
    // The objects are freed here unless a running call still holds them; the
    // caller that holds the last reference frees them when it returns.
    return true;
}

std::size_t OpenInternetHandleCount() {
    return Table().Locked([](HandleTable<InternetObject>& table) { return table.SizeLocked(); });
}

}  // namespace nalpoicomm
