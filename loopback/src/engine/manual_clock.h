// Controls of the SDK clock (see events/sdk_clock.h): freezing it, moving it forward with
// everything that falls due on the way, letting it run again.
#ifndef OSTREL_LOOPBACK_ENGINE_MANUAL_CLOCK_H_
#define OSTREL_LOOPBACK_ENGINE_MANUAL_CLOCK_H_

#include <cstdint>

namespace ostrel::loopback::engine {

// The largest step clock_advance takes in one call: about 34 years.
constexpr int64_t kMaxClockAdvanceMs = int64_t{1} << 40;

void clock_freeze();
void clock_resume();
bool clock_frozen();
// Milliseconds on the SDK clock; only differences mean anything.
int64_t clock_now_ms();
// Milliseconds from now on the SDK clock until the earliest timed work is due, rounded up (0 for
// work due now or overdue), or -1 when no timed work waits.
int64_t clock_next_due_ms();

// What clock_advance did.
enum class Advance { done, timed_out, refused };

// Moves the SDK clock `ms` forward. The timed work due on the way runs in time order, and
// after the work of each due time the events it caused are delivered and their callbacks
// have returned (as wait_idle) before the clock moves on, so that callbacks may add work that
// falls due within the same call. Events already queued are delivered first, before the clock
// moves. A running clock is frozen meanwhile and runs again from the new time afterwards.
// `timeout_seconds` (real time) bounds the whole call.
Advance clock_advance(int64_t ms, double timeout_seconds);

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_MANUAL_CLOCK_H_
