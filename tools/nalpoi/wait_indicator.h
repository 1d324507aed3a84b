// A one-line "waiting for the service: 3.2 s of 20 s" on stderr while a call
// blocks, redrawn about ten times a second from a thread of its own and
// erased when the indicator is destroyed. Nothing at all when stderr is not
// a terminal, so logs and pipes stay clean.
#ifndef NALPOI_WAIT_INDICATOR_H
#define NALPOI_WAIT_INDICATOR_H

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace nalpoicomm {

class WaitIndicator {
public:
    explicit WaitIndicator(int limitSeconds);
    ~WaitIndicator();
    WaitIndicator(const WaitIndicator&) = delete;
    WaitIndicator& operator=(const WaitIndicator&) = delete;

private:
    void Draw();

    const int limitSeconds_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::size_t drawnWidth_ = 0;  // columns to blank when erasing
    std::thread drawer_;
};

}  // namespace nalpoicomm

#endif
