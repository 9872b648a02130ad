#include "engine/network_quality.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "engine/media_faults.h"
#include "engine/registry.h"
#include "engine/room_events.h"
#include "engine/video.h"
#include "events/service_thread.h"

namespace ostrel::loopback::engine {

using namespace ostrel::vonu;

namespace {

void post_tick(int interval_ms, uint64_t ticket);

// What a member reports: DOWN while held offline, else the quality set for it, made worse by
// the faults on its media.
NetworkQuality reported_quality(const Session& s) {
    if (s.disconnected) return NETWORK_QUALITY_DOWN;
    const NetworkQuality faults = fault_quality(s.faults);
    if (faults == NETWORK_QUALITY_EXCELLENT || s.quality == NETWORK_QUALITY_DOWN) return s.quality;
    return s.quality == NETWORK_QUALITY_UNKNOWN ? faults : std::max(s.quality, faults);
}

// One report to every member of every room: its own quality first, then the anchors'.
void report(const Room& room) {
    std::vector<NetworkQualityInfo> reports;
    reports.reserve(room.members.size());
    for (const InstancePtr& m : room.members) {
        NetworkQualityInfo info;
        info.user_id = m->session.user_id.c_str();
        info.quality = reported_quality(m->session);
        reports.push_back(info);
    }
    for (size_t i = 0; i < room.members.size(); ++i) {
        std::vector<NetworkQualityInfo> list;
        list.reserve(reports.size());
        list.push_back(reports[i]);  // the member's own report first, then the others in entry order
        for (size_t j = 0; j < room.members.size(); ++j) {
            if (j != i && room.members[j]->anchor()) list.push_back(reports[j]);
        }
        room.members[i]->post(make_event("OnNetworkQuality", [list](Delegate& d) mutable {
            d.OnNetworkQuality(&list[0], list.size() > 1 ? &list[1] : nullptr, list.size() - 1);
        }));
    }
}

void tick(uint64_t ticket) {
    Engine& engine = Engine::get();
    EngineLock lock = engine.lock();
    QualityReports& q = engine.quality(lock);
    if (!q.timer.live(ticket)) return;
    const auto& rooms = engine.rooms(lock);
    if (rooms.empty()) {
        q.timer.disarm();
        return;
    }
    for (const auto& [key, room] : rooms) {
        (void)key;
        report(*room);
    }
    post_tick(q.interval_ms, ticket);
}

void post_tick(int interval_ms, uint64_t ticket) {
    events::Service::get().post_in(std::chrono::milliseconds(interval_ms), [ticket] { tick(ticket); });
}

}  // namespace

void ensure_quality_reports(const EngineLock& lock) {
    Engine& engine = Engine::get();
    QualityReports& q = engine.quality(lock);
    if (q.timer.armed() || q.interval_ms <= 0 || engine.rooms(lock).empty()) return;
    post_tick(q.interval_ms, q.timer.arm());
}

void set_quality_interval(int ms) {
    Engine& engine = Engine::get();
    EngineLock lock = engine.lock();
    QualityReports& q = engine.quality(lock);
    q.interval_ms = ms <= 0 ? 0 : std::max(ms, 10);
    q.timer.cancel();
    ensure_quality_reports(lock);
}

int quality_interval() {
    Engine& engine = Engine::get();
    EngineLock lock = engine.lock();
    return engine.quality(lock).interval_ms;
}

int set_network_quality(const std::string& user_id, int quality) {
    if (quality < 0 || quality > static_cast<int>(NETWORK_QUALITY_DOWN)) return -1;
    EngineLock lock = Engine::get().lock();
    const auto members = members_named(lock, user_id);
    const auto q = static_cast<NetworkQuality>(quality);
    for (const InstancePtr& m : members) {
        if (m->session.quality == q) continue;
        m->session.quality = q;
        request_bitrate(lock, *m);
    }
    return static_cast<int>(members.size());
}

}  // namespace ostrel::loopback::engine
