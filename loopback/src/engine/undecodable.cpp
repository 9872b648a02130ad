#include "engine/undecodable.h"

#include <chrono>

#include "events/sdk_counters.h"
#include "logger.h"

namespace ostrel::loopback::engine {

namespace {

constexpr auto kLogInterval = std::chrono::seconds(1);

}  // namespace

void note_undecodable(const EngineLock& lock, InstanceState& sender, const char* what) {
    (void)lock;
    events::note_undecodable(1);
    Session::Undecodable& u = sender.session.undecodable;
    ++u.unlogged;
    const Clock::time_point now = Clock::now();
    if (u.logged_at != Clock::time_point{} && now - u.logged_at < kLogInterval) return;
    OSTREL_LOG(kWarning, "'%s': %llu sent frames could not be decoded (the latest by %s); not delivered to the receivers that need them decoded",
               sender.session.user_id.c_str(), static_cast<unsigned long long>(u.unlogged), what);
    u.unlogged = 0;
    u.logged_at = now;
}

}  // namespace ostrel::loopback::engine
