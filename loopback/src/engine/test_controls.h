// The simulation's test controls, behind the control interface. Members are named by the user
// id they entered with; each control returns the number of instances it reached.
#ifndef OSTREL_LOOPBACK_ENGINE_TEST_CONTROLS_H_
#define OSTREL_LOOPBACK_ENGINE_TEST_CONTROLS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace ostrel::loopback::engine {

// True once every event queued before the call has been delivered, false on timeout.
bool wait_idle(double timeout_seconds);
// The same with a deadline in real time.
bool wait_idle_until(Clock::time_point deadline);
// The real time `timeout_seconds` from now; NaN and negative timeouts give now.
Clock::time_point deadline_after(double timeout_seconds);
// A lost connection, restored after `ms` milliseconds.
int disconnect(const std::string& user_id, int ms);
int raise_error(const std::string& user_id, int code);
// Removes the members from their rooms (OnError ERR_BANNED_BY_SERVER, then they leave).
int kick(const std::string& user_id, int reason);
// Posts `event` to those members, or to every live instance when `user_id` is null.
int inject(const std::string* user_id, const events::Event& event);
void fail_next_create();
int live_instances();
// Disowns the callbacks running now and discards the events queued behind each
// (EventLoop::disown_running); returns how many callbacks that disowned.
int disown_running();

// A live instance as the tests see it: its number, and the user id and room id of its stay in a
// room (the text id, or the numeric one written out), if it is in one.
struct LiveInstance {
    uint64_t id = 0;
    bool in_room = false;
    std::string user_id;
    std::string room_id;
};
// The live instances, oldest first.
std::vector<LiveInstance> instances();

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_TEST_CONTROLS_H_
