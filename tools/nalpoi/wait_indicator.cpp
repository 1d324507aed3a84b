#include "wait_indicator.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <system_error>

namespace nalpoicomm {

namespace {
// About ten redraws a second; also the first draw's delay, so quick replies show nothing.
constexpr std::chrono::milliseconds kRedrawPeriod(100);
}  // namespace

WaitIndicator::WaitIndicator(int limitSeconds) : limitSeconds_(limitSeconds) {
    if (isatty(STDERR_FILENO) != 1) return;
    try {
        drawer_ = std::thread(&WaitIndicator::Draw, this);
    } catch (const std::system_error&) {
        // No thread, no indicator: the call itself matters more.
    }
}

WaitIndicator::~WaitIndicator() {
    if (!drawer_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    drawer_.join();
}

void WaitIndicator::Draw() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, kRedrawPeriod, [this] { return stopping_; })) {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        char line[80];
        const int width = std::snprintf(line, sizeof line,
                                        "waiting for the service: %.1f s of %d s",
                                        elapsed.count(), limitSeconds_);
        if (width <= 0) continue;
        std::fprintf(stderr, "\r%s", line);
        std::fflush(stderr);
        drawnWidth_ = std::min(static_cast<std::size_t>(width), sizeof line - 1);
    }
    if (drawnWidth_ > 0) {
        std::fprintf(stderr, "\r%s\r", std::string(drawnWidth_, ' ').c_str());
        std::fflush(stderr);
    }
}

}  // namespace nalpoicomm
