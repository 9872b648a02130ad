#include "engine/undecodable.h"

#include "events/sdk_counters.h"
#include "logger.h"

namespace ostrel::loopback::engine {

void note_undecodable(const EngineLock& lock, InstanceState& sender, const char* what) {
    (void)lock;
    events::note_undecodable(1);
    const uint64_t to_log = sender.session.undecodable_log.count(1);
    if (to_log == 0) return;
    OSTREL_LOG(kWarning,
               "'%s': %llu sent frames could not be decoded (the latest by %s); not delivered to the receivers that "
               "need them decoded",
               sender.session.user_id.c_str(), static_cast<unsigned long long>(to_log), what);
}

}  // namespace ostrel::loopback::engine
