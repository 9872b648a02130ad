// The SDK's clock, which every timed thing of the loopback SDK reads: paced audio, network-
// quality reports, reconnects, delayed media, the custom message rate window.
//
// By default it is the real (steady) clock. A test may freeze it, move it forward by hand and
// let it run again; it never goes back: after a resume it continues from where it stood, a
// fixed offset ahead of real time. The class is plain arithmetic over a given real time, so that
// whoever owns it (the service thread, see service_thread.h) guards it with its own lock and
// tests can drive it without waiting.
#ifndef OSTREL_LOOPBACK_EVENTS_SDK_CLOCK_H_
#define OSTREL_LOOPBACK_EVENTS_SDK_CLOCK_H_

#include <chrono>

namespace ostrel::loopback::events {

class SdkClock {
public:
    using Real = std::chrono::steady_clock;
    using time_point = Real::time_point;

    // The SDK time when real time is `real`.
    time_point now(time_point real) const { return frozen_ ? frozen_at_ : real + offset_; }
    bool frozen() const { return frozen_; }

    // Stops the clock at the SDK time of `real`; no effect when already frozen.
    void freeze(time_point real) {
        if (frozen_) return;
        frozen_at_ = real + offset_;
        frozen_ = true;
    }
    // Lets the clock run again from where it stands; no effect when running.
    void resume(time_point real) {
        if (!frozen_) return;
        offset_ = frozen_at_ - real;
        frozen_ = false;
    }
    // A frozen clock moves forward to `to` (never back); a running one is left alone.
    void move_to(time_point to) {
        if (frozen_ && to > frozen_at_) frozen_at_ = to;
    }
    // The real time at which a running clock shows `sdk_time`.
    time_point real_time_of(time_point sdk_time) const { return sdk_time - offset_; }

private:
    bool frozen_ = false;      // stopped; frozen_at_ is the time it shows
    time_point frozen_at_{};   // the SDK time while frozen
    Real::duration offset_{};  // SDK time minus real time while running
};

}  // namespace ostrel::loopback::events

#endif  // OSTREL_LOOPBACK_EVENTS_SDK_CLOCK_H_
