// Loss and delay of the media frames delivered to a member: test controls that make a member's
// network worse than a loopback. Every media frame for a member passes through deliver_media,
// which loses a fraction of them, and holds the others back for the delay on the SDK clock,
// in the order they came; the service thread hands them over when due. SEI messages share the
// delay (they keep arriving right before their frame) but are never lost.
//
// The member's reported network quality follows the faults, by fault_quality's scale.
#ifndef OSTREL_LOOPBACK_ENGINE_MEDIA_FAULTS_H_
#define OSTREL_LOOPBACK_ENGINE_MEDIA_FAULTS_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "engine/instance_state.h"

namespace ostrel::loopback::engine {

// The longest delay and jitter media_delay accepts: one hour.
constexpr int kMaxMediaDelayMs = 3600 * 1000;

enum class MediaKind { audio, video, sei };

// Sets the fractions (0 to 1) of audio and video frames the members lose; a seed makes the
// losses (and the jitter) repeat, none draws a random one. -1 for a fraction outside 0 to 1.
int media_loss(const std::string& user_id, double audio, double video, std::optional<uint64_t> seed);
// Sets the delay of media to the members, varying by up to `jitter_ms` either way; frames stay
// in order. 0 and 0 clear it (frames on their way still arrive when due). -1 for a value that
// is negative or above kMaxMediaDelayMs.
int media_delay(const std::string& user_id, int ms, int jitter_ms);

// The network quality the faults alone leave: EXCELLENT without faults, worse with more loss
// or delay.
vonu::NetworkQuality fault_quality(const MediaFaults& faults);

// True when this frame is lost on its way.
bool media_lost(MediaFaults& faults, MediaKind kind);
// When a frame sent now reaches the member (its delay, varied by the jitter, and never before
// the frame ahead of it); none for at once.
std::optional<Clock::time_point> media_due(MediaFaults& faults);
// Holds `hand_over` back until `due` on the SDK clock.
void hold_media(MediaFaults& faults, Clock::time_point due, std::function<void(InstanceState&)> hand_over);

// Gives a media frame to member `r` through its faults: `hand_over(r)` now, later, or never.
// The caller holds the engine lock, as does the service task that hands over later.
template <typename F>
void deliver_media(InstanceState& r, MediaKind kind, F&& hand_over) {
    MediaFaults& faults = r.session.faults;
    if (faults.none()) {
        hand_over(r);
        return;
    }
    if (media_lost(faults, kind)) return;
    const std::optional<Clock::time_point> due = media_due(faults);
    if (!due) {
        hand_over(r);
        return;
    }
    hold_media(faults, *due, std::function<void(InstanceState&)>(std::forward<F>(hand_over)));
}

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_MEDIA_FAULTS_H_
