// The media faults' part of the C control interface.
#include <optional>
#include <string>

#include "control/c_text.h"
#include "control/loopback_control.h"
#include "engine/media_faults.h"

namespace engine = ostrel::loopback::engine;

using ostrel::loopback::control::text;

extern "C" {

int ostrel_loopback_media_loss(const char* user_id, double audio, double video, int seeded, uint64_t seed) {
    return engine::media_loss(text(user_id), audio, video, seeded ? std::optional<uint64_t>(seed) : std::nullopt);
}

int ostrel_loopback_media_delay(const char* user_id, int ms, int jitter_ms) {
    return engine::media_delay(text(user_id), ms, jitter_ms);
}

}  // extern "C"
