// Handles as opaque ids in a table of shared objects: a handle that has been
// closed simply stops resolving, and an object stays alive while any call
// that resolved it still runs, so no close frees memory another thread uses.
#ifndef NALPOICOMM_PLATFORM_POSIX_HANDLE_TABLE_H
#define NALPOICOMM_PLATFORM_POSIX_HANDLE_TABLE_H

#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace nalpoicomm {

template <typename Object>
class HandleTable {
public:
    explicit HandleTable(std::uintptr_t firstId) : nextId_(firstId) {}

    void* Add(std::shared_ptr<Object> object) {
        std::lock_guard<std::mutex> lock(mutex_);
        return AddLocked(std::move(object));
    }

    std::shared_ptr<Object> Find(void* handle) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == objects_.end() ? nullptr : it->second;
    }

    std::shared_ptr<Object> Remove(void* handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        return RemoveLocked(reinterpret_cast<std::uintptr_t>(handle));
    }

    // Runs `fn(table)` with the table locked, for operations that must see and
    // change several entries at once.
    template <typename Fn>
    auto Locked(Fn fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        return fn(*this);
    }

    void* AddLocked(std::shared_ptr<Object> object) {
        const std::uintptr_t id = nextId_;
        nextId_ += 4;  // never reused, so a stale handle cannot reach a new object
        objects_.emplace(id, std::move(object));
        return reinterpret_cast<void*>(id);
    }

    std::shared_ptr<Object> FindLocked(std::uintptr_t id) const {
        auto it = objects_.find(id);
        return it == objects_.end() ? nullptr : it->second;
    }

    std::shared_ptr<Object> RemoveLocked(std::uintptr_t id) {
        auto it = objects_.find(id);
        if (it == objects_.end()) return nullptr;
        std::shared_ptr<Object> object = std::move(it->second);
        objects_.erase(it);
        return object;
    }

    // Runs `fn(object)` on every entry. Allocates nothing.
    template <typename Fn>
    void ForEachLocked(Fn fn) const {
        for (const auto& entry : objects_) fn(*entry.second);
    }

    // Removes every entry for which `predicate(object)` holds. Allocates
    // nothing; an object whose last reference goes is destroyed here.
    template <typename Predicate>
    void RemoveWhereLocked(Predicate predicate) {
        for (auto it = objects_.begin(); it != objects_.end();) {
            it = predicate(*it->second) ? objects_.erase(it) : std::next(it);
        }
    }

    std::size_t SizeLocked() const { return objects_.size(); }

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> objects_;
    std::uintptr_t nextId_;
};

}  // namespace nalpoicomm

#endif
