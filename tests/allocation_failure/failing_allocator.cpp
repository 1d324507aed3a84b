#include "allocation_failure/failing_allocator.h"

#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <execinfo.h>
#include <link.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void __libc_free(void* block);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace failing_allocator {
namespace {

std::atomic<bool> armed{false};
std::atomic<int> mode{0};
std::atomic<long> point{0};
std::atomic<long> allocations{0};
std::atomic<long> failures{0};
std::atomic<bool> failedInParse{false};

// Allocations made by the hook itself (backtrace) are neither counted nor failed.
thread_local bool inHook = false;

// TiXmlDocument::Parse, as an address range, for the leak exception.
std::uintptr_t parseBegin = 0;
std::uintptr_t parseEnd = 0;

// The blocks allocated while armed: an open-addressing set that never allocates.
constexpr std::size_t kSlots = 1u << 16;
constexpr std::uintptr_t kEmpty = 0;
constexpr std::uintptr_t kRemoved = 1;
std::uintptr_t slots[kSlots];
std::atomic<long> live{0};
std::atomic_flag slotsLock = ATOMIC_FLAG_INIT;

struct SlotsGuard {
    SlotsGuard() {
        while (slotsLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~SlotsGuard() { slotsLock.clear(std::memory_order_release); }
};

std::size_t SlotOf(std::uintptr_t key) { return (key >> 4) * 0x9E3779B97F4A7C15ull >> 48; }

void Track(void* block) {
    if (block == nullptr || !armed.load()) return;
    const auto key = reinterpret_cast<std::uintptr_t>(block);
    SlotsGuard guard;
    for (std::size_t i = SlotOf(key), probes = 0; probes < kSlots; i = (i + 1) % kSlots, ++probes) {
        if (slots[i] == kEmpty || slots[i] == kRemoved) {
            slots[i] = key;
            ++live;
            return;
        }
    }
}

void Untrack(void* block) {
    if (block == nullptr || live.load() == 0) return;
    const auto key = reinterpret_cast<std::uintptr_t>(block);
    SlotsGuard guard;
    for (std::size_t i = SlotOf(key), probes = 0; probes < kSlots; i = (i + 1) % kSlots, ++probes) {
        if (slots[i] == kEmpty) return;
        if (slots[i] == key) {
            slots[i] = kRemoved;
            --live;
            return;
        }
    }
}

// NALPOI_SWEEP_TRACE=1 prints the stack of every failed allocation, to find
// where a point that fails the sweep is.
bool traceFailures = false;

bool StackHasXmlParse() {
    void* frames[128];
    const int depth = backtrace(frames, 128);
    if (traceFailures) backtrace_symbols_fd(frames, depth, 2);
    for (int i = 0; i < depth; ++i) {
        const auto address = reinterpret_cast<std::uintptr_t>(frames[i]);
        if (address > parseBegin && address <= parseEnd) return true;
    }
    return false;
}

bool ShouldFail() {
    if (!armed.load() || inHook) return false;
    const long number = ++allocations;
    const auto current = static_cast<Mode>(mode.load());
    const bool fail = (current == Mode::kFailOne && number == point.load()) ||
                      (current == Mode::kFailFrom && number >= point.load());
    if (!fail) return false;
    ++failures;
    inHook = true;
    if (StackHasXmlParse()) failedInParse = true;
    inHook = false;
    errno = ENOMEM;
    return true;
}

}  // namespace

void Prepare() {
    traceFailures = std::getenv("NALPOI_SWEEP_TRACE") != nullptr;
    void* frames[4];
    backtrace(frames, 4);  // loads the unwinder now, not inside a failing allocation
    void* parse = dlsym(RTLD_DEFAULT, "_ZN13TiXmlDocument5ParseEPKcP16TiXmlParsingData13TiXmlEncoding");
    Dl_info info;
    void* entry = nullptr;
    if (parse != nullptr && dladdr1(parse, &info, &entry, RTLD_DL_SYMENT) != 0 &&
        entry != nullptr) {
        const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
        parseBegin = reinterpret_cast<std::uintptr_t>(parse);
        parseEnd = parseBegin + symbol->st_size;
    }
}

void Arm(Mode chosen, long chosenPoint) {
    {
        SlotsGuard guard;
        std::memset(slots, 0, sizeof slots);
        live = 0;
    }
    mode = static_cast<int>(chosen);
    point = chosenPoint;
    allocations = 0;
    failures = 0;
    failedInParse = false;
    armed = true;
}

void Disarm() { armed = false; }
long Allocations() { return allocations.load(); }
long FailuresInjected() { return failures.load(); }
bool FailedInsideXmlParse() { return failedInParse.load(); }
long LiveBlocks() { return live.load(); }

}  // namespace failing_allocator

using failing_allocator::ShouldFail;
using failing_allocator::Track;
using failing_allocator::Untrack;

extern "C" {

void* malloc(std::size_t size) {
    if (ShouldFail()) return nullptr;
    void* block = __libc_malloc(size);
    Track(block);
    return block;
}

void* calloc(std::size_t count, std::size_t size) {
    if (ShouldFail()) return nullptr;
    void* block = __libc_calloc(count, size);
    Track(block);
    return block;
}

void* realloc(void* block, std::size_t size) {
    if (block == nullptr) return malloc(size);
    if (size == 0) {
        Untrack(block);
        return __libc_realloc(block, 0);
    }
    if (ShouldFail()) return nullptr;  // the old block stays as it was
    void* moved = __libc_realloc(block, size);
    if (moved != nullptr) {
        Untrack(block);
        Track(moved);
    }
    return moved;
}

void* reallocarray(void* block, std::size_t count, std::size_t size) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(block, bytes);
}

void free(void* block) {
    Untrack(block);
    __libc_free(block);
}

void* memalign(std::size_t alignment, std::size_t size) {
    if (ShouldFail()) return nullptr;
    void* block = __libc_memalign(alignment, size);
    Track(block);
    return block;
}

void* aligned_alloc(std::size_t alignment, std::size_t size) { return memalign(alignment, size); }

int posix_memalign(void** result, std::size_t alignment, std::size_t size) {
    void* block = memalign(alignment, size);
    if (block == nullptr) return ENOMEM;
    *result = block;
    return 0;
}

void* valloc(std::size_t size) { return memalign(4096, size); }
void* pvalloc(std::size_t size) { return memalign(4096, (size + 4095) & ~std::size_t{4095}); }

}  // extern "C"
