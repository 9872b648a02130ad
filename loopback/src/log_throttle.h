// A warning about something that may happen on every frame (a frame dropped, a frame no decoder
// could take) is logged at most once a second, so that a flood of them cannot flood the log:
// the first at once, and after that one line a second at most, with the number counted since
// the line before. The throttle only counts and decides; its owner guards it with a lock of its
// own and writes the line itself (after releasing that lock, where it can).
#ifndef OSTREL_LOOPBACK_LOG_THROTTLE_H_
#define OSTREL_LOOPBACK_LOG_THROTTLE_H_

#include <chrono>
#include <cstdint>

namespace ostrel::loopback::log {

// The least time between two lines of one throttle.
inline constexpr std::chrono::seconds kThrottleInterval{1};

class Throttle {
public:
    // Counts `n` more (none is fine: what was held back may be due). Returns how many to log now,
    // all that were counted since the last line, or 0 when nothing is to be logged yet.
    uint64_t count(uint64_t n, std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now()) {
        unlogged_ += n;
        if (unlogged_ == 0 || (logged_ && now - logged_at_ < kThrottleInterval)) return 0;
        logged_ = true;
        logged_at_ = now;
        const uint64_t due = unlogged_;
        unlogged_ = 0;
        return due;
    }

private:
    uint64_t unlogged_ = 0;                            // counted since the last line
    bool logged_ = false;                              // a line has been logged
    std::chrono::steady_clock::time_point logged_at_;  // when the last line was logged
};

}  // namespace ostrel::loopback::log

#endif  // OSTREL_LOOPBACK_LOG_THROTTLE_H_
