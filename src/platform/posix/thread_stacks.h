// Stacks for the threads CreateThread makes, mapped here with a guard page
// below each, and handed from a thread that has been joined to the next
// thread instead of going back to the kernel. glibc's own stacks are given
// back (madvise) at every thread's end: the next thread then faults its pages
// in again, and the release flushes the TLB of every CPU the process runs on.
// One stack is kept spare; nothing else outlives the thread that used it.
#ifndef NALPOICOMM_PLATFORM_POSIX_THREAD_STACKS_H
#define NALPOICOMM_PLATFORM_POSIX_THREAD_STACKS_H

#include <cstddef>

namespace nalpoicomm {

struct ThreadStack {
    void* mapping = nullptr;     // guard page, then the stack
    std::size_t mappingSize = 0;
    void* Base() const;          // lowest usable address
    std::size_t Size() const;    // usable bytes
};

// A stack of at least `size` bytes: the spare one if it is that large, else a
// new mapping. Empty (mapping null) when no memory could be mapped.
ThreadStack TakeThreadStack(std::size_t size) noexcept;

// Gives back the stack of a thread that has been joined: it becomes the spare
// one, or is unmapped when there is one already.
void ReturnThreadStack(ThreadStack stack) noexcept;

// Stacks mapped now: in use by threads not yet reaped, and the spare one.
std::size_t MappedThreadStackCount() noexcept;

}  // namespace nalpoicomm

#endif
