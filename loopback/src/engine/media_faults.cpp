#include "engine/media_faults.h"

#include <algorithm>
#include <chrono>

#include "engine/registry.h"
#include "events/service_thread.h"

namespace ostrel::loopback::engine {

using namespace ostrel::vonu;

namespace {

// A number in [0, 1) from the next 53 bits of the generator. mt19937_64 is the same sequence
// on every standard library, unlike the distributions, so a seed means the same losses anywhere.
double draw_fraction(std::mt19937_64& random) { return static_cast<double>(random() >> 11) * 0x1.0p-53; }

// Hands over, for every member, the held-back frames that are due by now.
void deliver_due() {
    Engine& engine = Engine::get();
    EngineLock lock = engine.lock();
    const Clock::time_point now = events::Service::get().now();
    for (const InstancePtr& inst : engine.live(lock)) {
        auto& delayed = inst->session.faults.delayed;
        while (!delayed.empty() && delayed.front().due <= now) {
            auto hand_over = std::move(delayed.front().hand_over);
            delayed.pop_front();
            // Media does not reach a member held offline, however long it was on its way.
            if (!inst->session.disconnected) hand_over(*inst);
        }
    }
}

// The grades of the quality scale, best first, with the loss and the delay (plus jitter) each
// stays below.
struct Grade {
    NetworkQuality quality;
    double loss_below;
    int delay_below_ms;
};
constexpr Grade kGrades[] = {
    {NETWORK_QUALITY_EXCELLENT, 0.01, 100},
    {NETWORK_QUALITY_GOOD, 0.05, 200},
    {NETWORK_QUALITY_POOR, 0.10, 400},
    {NETWORK_QUALITY_BAD, 0.20, 800},
};

}  // namespace

int media_loss(const std::string& user_id, double audio, double video, std::optional<uint64_t> seed) {
    if (!(audio >= 0.0 && audio <= 1.0 && video >= 0.0 && video <= 1.0)) return -1;  // NaN too
    EngineLock lock = Engine::get().lock();
    const auto members = members_named(lock, user_id);
    for (const InstancePtr& m : members) {
        MediaFaults& f = m->session.faults;
        f.audio_loss = audio;
        f.video_loss = video;
        f.random.seed(seed ? *seed : (uint64_t{std::random_device{}()} << 32 | std::random_device{}()));
    }
    return static_cast<int>(members.size());
}

int media_delay(const std::string& user_id, int ms, int jitter_ms) {
    if (ms < 0 || jitter_ms < 0 || ms > kMaxMediaDelayMs || jitter_ms > kMaxMediaDelayMs) return -1;
    EngineLock lock = Engine::get().lock();
    const auto members = members_named(lock, user_id);
    for (const InstancePtr& m : members) {
        m->session.faults.delay_ms = ms;
        m->session.faults.jitter_ms = jitter_ms;
    }
    return static_cast<int>(members.size());
}

NetworkQuality fault_quality(const MediaFaults& faults) {
    const double loss = std::max(faults.audio_loss, faults.video_loss);
    const int delay = faults.delay_ms + faults.jitter_ms;
    for (const Grade& g : kGrades) {
        if (loss < g.loss_below && delay < g.delay_below_ms) return g.quality;
    }
    return NETWORK_QUALITY_VERY_BAD;
}

bool media_lost(MediaFaults& faults, MediaKind kind) {
    const double loss = kind == MediaKind::audio   ? faults.audio_loss
                        : kind == MediaKind::video ? faults.video_loss
                                                   : 0.0;
    // No draw without loss, so that the losses of one kind do not depend on the other's traffic.
    return loss > 0.0 && draw_fraction(faults.random) < loss;
}

std::optional<Clock::time_point> media_due(MediaFaults& faults) {
    if (faults.delay_ms <= 0 && faults.jitter_ms <= 0 && faults.delayed.empty()) return std::nullopt;
    const Clock::time_point now = events::Service::get().now();
    auto way = std::chrono::milliseconds(faults.delay_ms);
    if (faults.jitter_ms > 0) {
        const uint64_t span = 2 * static_cast<uint64_t>(faults.jitter_ms) + 1;
        way += std::chrono::milliseconds(static_cast<int64_t>(faults.random() % span) - faults.jitter_ms);
    }
    Clock::time_point due = now + std::max(way, std::chrono::milliseconds(0));
    // In order: never before the frame ahead of it.
    if (!faults.delayed.empty()) due = std::max(due, faults.delayed.back().due);
    if (due <= now && faults.delayed.empty()) return std::nullopt;
    return due;
}

void hold_media(MediaFaults& faults, Clock::time_point due, std::function<void(InstanceState&)> hand_over) {
    faults.delayed.push_back({due, std::move(hand_over)});
    events::Service::get().post_at(due, [] { deliver_due(); });
}

}  // namespace ostrel::loopback::engine
