#include "platform/posix/internet_handles.h"

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

bool CloseInternetObject(HINTERNET handle) noexcept {
    const auto id = reinterpret_cast<std::uintptr_t>(handle);
    return Table().Locked([id](HandleTable<InternetObject>& table) {
        const std::shared_ptr<InternetObject> target = table.FindLocked(id);
        if (!target) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        // Mark the handle and its subtree (at most three levels), following
        // each object's parents while they are all still in the table.
        table.ForEachLocked([&](InternetObject& object) {
            bool below = &object == target.get();
            for (std::uintptr_t parent = object.parent; !below && parent != 0;) {
                if (parent == id) {
                    below = true;
                    break;
                }
                const std::shared_ptr<InternetObject> up = table.FindLocked(parent);
                parent = up ? up->parent : 0;
            }
            if (!below) return;
            object.closing = true;
            // A call blocked in this transfer holds its own reference and
            // returns as soon as it sees the abort. Only a request closed
            // itself, with no call running, may keep its connection.
            if (object.transfer) object.transfer->Abort(&object != target.get());
        });
        // Objects no running call holds are freed here; otherwise the call
        // that holds the last reference frees them when it returns.
        table.RemoveWhereLocked([](const InternetObject& object) { return object.closing; });
        return true;
    });
}

std::size_t OpenInternetHandleCount() {
    return Table().Locked([](HandleTable<InternetObject>& table) { return table.SizeLocked(); });
}

}  // namespace nalpoicomm
