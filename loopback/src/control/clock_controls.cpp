// The SDK clock's part of the C control interface.
#include "control/loopback_control.h"
#include "engine/manual_clock.h"

namespace engine = ostrel::loopback::engine;

extern "C" {

void ostrel_loopback_clock_freeze() { engine::clock_freeze(); }

void ostrel_loopback_clock_resume() { engine::clock_resume(); }

int ostrel_loopback_clock_frozen() { return engine::clock_frozen() ? 1 : 0; }

int64_t ostrel_loopback_clock_now_ms() { return engine::clock_now_ms(); }

int64_t ostrel_loopback_clock_next_due_ms() { return engine::clock_next_due_ms(); }

int ostrel_loopback_clock_advance(int64_t ms, double timeout_seconds) {
    switch (engine::clock_advance(ms, timeout_seconds)) {
        case engine::Advance::done:
            return 1;
        case engine::Advance::timed_out:
            return 0;
        case engine::Advance::refused:
            break;
    }
    return -1;
}

}  // extern "C"
