#include "engine/manual_clock.h"

#include <chrono>

#include "engine/test_controls.h"
#include "events/service_thread.h"

namespace ostrel::loopback::engine {

void clock_freeze() { events::Service::get().freeze_clock(); }

void clock_resume() { events::Service::get().resume_clock(); }

bool clock_frozen() { return events::Service::get().clock_frozen(); }

int64_t clock_now_ms() {
    const auto since_epoch = events::Service::get().now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
}

int64_t clock_next_due_ms() {
    events::Service& service = events::Service::get();
    const Clock::time_point due = service.next_due();
    if (due == Clock::time_point::max()) return -1;
    const Clock::duration left = due - service.now();
    if (left <= Clock::duration::zero()) return 0;
    return std::chrono::ceil<std::chrono::milliseconds>(left).count();
}

Advance clock_advance(int64_t ms, double timeout_seconds) {
    if (ms < 0 || ms > kMaxClockAdvanceMs) return Advance::refused;
    const Clock::time_point deadline = deadline_after(timeout_seconds);
    events::Service& service = events::Service::get();
    const bool was_running = !service.clock_frozen();
    service.freeze_clock();
    const Clock::time_point target = service.now() + std::chrono::milliseconds(ms);
    // Events caused before the call are delivered at the time it found.
    Advance result = wait_idle_until(deadline) ? Advance::done : Advance::timed_out;
    while (result == Advance::done) {
        const events::Service::Step step = service.step_to(target, deadline);
        if (step == events::Service::Step::timed_out || !wait_idle_until(deadline)) {
            result = Advance::timed_out;
            break;
        }
        // At the target, and the callbacks since added nothing due by then: done.
        if (step == events::Service::Step::reached && !service.due_by(target)) break;
    }
    if (was_running) service.resume_clock();
    return result;
}

}  // namespace ostrel::loopback::engine
