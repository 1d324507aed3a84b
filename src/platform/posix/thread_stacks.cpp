#include "platform/posix/thread_stacks.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace nalpoicomm {
namespace {

std::size_t PageSize() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::mutex& SpareLock() {
    static std::mutex lock;
    return lock;
}

std::atomic<std::size_t> gMapped{0};

ThreadStack& Spare() {
    static ThreadStack spare;
    return spare;
}

void Unmap(const ThreadStack& stack) {
    if (stack.mapping != nullptr && munmap(stack.mapping, stack.mappingSize) == 0) --gMapped;
}

}  // namespace

void* ThreadStack::Base() const { return static_cast<char*>(mapping) + PageSize(); }

std::size_t ThreadStack::Size() const { return mappingSize - PageSize(); }

ThreadStack TakeThreadStack(std::size_t size) noexcept {
    const std::size_t page = PageSize();
    const std::size_t wanted = (size + page - 1) / page * page + page;
    {
        std::lock_guard<std::mutex> lock(SpareLock());
        ThreadStack& spare = Spare();
        if (spare.mapping != nullptr && spare.mappingSize >= wanted) {
            const ThreadStack taken = spare;
            spare = ThreadStack{};
            return taken;
        }
    }
    void* mapping = mmap(nullptr, wanted, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return ThreadStack{};
    // An overflow faults on the guard page instead of writing into whatever
    // mapping lies below.
    if (mprotect(mapping, page, PROT_NONE) != 0) {
        munmap(mapping, wanted);
        return ThreadStack{};
    }
    ++gMapped;
    ThreadStack stack;
    stack.mapping = mapping;
    stack.mappingSize = wanted;
    return stack;
}

void ReturnThreadStack(ThreadStack stack) noexcept {
    if (stack.mapping == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(SpareLock());
        ThreadStack& spare = Spare();
        if (spare.mapping == nullptr) {
            spare = stack;
            return;
        }
    }
    Unmap(stack);
}

std::size_t MappedThreadStackCount() noexcept { return gMapped.load(); }

}  // namespace nalpoicomm
