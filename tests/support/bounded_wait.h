// A wait in a test that may be far too long (a limit read in the wrong unit)
// must fail in seconds, not run into ctest's time-out: FinishesWithin runs
// the work on a thread of its own and, past a generous bound, ends the test
// binary at once with a message.
#ifndef NALPOICOMM_TESTS_SUPPORT_BOUNDED_WAIT_H
#define NALPOICOMM_TESTS_SUPPORT_BOUNDED_WAIT_H

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <utility>

namespace testsupport {

template <typename Work>
auto FinishesWithin(std::chrono::milliseconds bound, const char* what, Work work) -> decltype(work()) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    std::thread runner(std::move(task));
    if (result.wait_for(bound) != std::future_status::ready) {
        std::fprintf(stderr, "FAILED: %s did not end within %lld ms\n", what,
                     static_cast<long long>(bound.count()));
        std::fflush(stderr);
        std::_Exit(1);
    }
    runner.join();
    return result.get();
}

}  // namespace testsupport

#endif
