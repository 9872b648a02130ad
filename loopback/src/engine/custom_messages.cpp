#include "engine/custom_messages.h"

#include <memory>
#include <vector>

#include "engine/registry.h"
#include "engine/room_events.h"
#include "events/service_thread.h"

namespace ostrel::loopback::engine {

using namespace ostrel::vonu;

namespace {

// True when one more message of `length` bytes fits the last second's limits; counts it then.
bool take_window(MessageSession& m, size_t length) {
    const Clock::time_point now = events::Service::get().now();
    while (!m.sent_window.empty() && now - m.sent_window.front().first >= std::chrono::seconds(1)) {
        m.sent_window.pop_front();
    }
    size_t bytes = 0;
    for (const auto& sent : m.sent_window) bytes += sent.second;
    if (m.sent_window.size() + 1 > kMaxCmdPerSecond || bytes + length > kMaxCmdBytesPerSecond) return false;
    m.sent_window.emplace_back(now, length);
    return true;
}

}  // namespace

bool send_custom_cmd(const InstancePtr& inst, uint32_t cmd_id, const char* message, size_t length) {
    EngineLock lock = Engine::get().lock();
    Session& s = inst->session;
    if (!inst->in_room() || !inst->anchor() || s.disconnected) return false;
    if (cmd_id < kMinCmdId || cmd_id > kMaxCmdId) return false;
    if (message == nullptr || length == 0 || length > kMaxCmdBytes) return false;
    MessageSession& m = s.messages;
    if (!take_window(m, length)) return false;

    const uint32_t seq = ++m.seq[cmd_id];
    if (m.drop_next > 0) {
        --m.drop_next;
        ++m.lost[cmd_id];
        return true;
    }
    uint32_t missed = 0;
    auto lost = m.lost.find(cmd_id);
    if (lost != m.lost.end()) {
        missed = lost->second;
        m.lost.erase(lost);
    }
    const std::string id = s.user_id;
    const int32_t cmd = static_cast<int32_t>(cmd_id);
    auto payload = std::make_shared<const std::vector<uint8_t>>(message, message + length);
    for (const InstancePtr& r : s.room->members) {
        if (r == inst) continue;
        if (missed > 0) {
            r->post(make_event("OnMissCustomCmdMsg", [id, cmd, missed](Delegate& d) {
                d.OnMissCustomCmdMsg(id.c_str(), cmd, kMissLost, missed);
            }));
        }
        r->post(make_event("OnReceiveCustomCmdMsg", [id, cmd, seq, payload](Delegate& d) {
            d.OnReceiveCustomCmdMsg(id.c_str(), cmd, seq, reinterpret_cast<const char*>(payload->data()),
                                    payload->size());
        }));
    }
    return true;
}

int drop_messages(const std::string& user_id, uint32_t count) {
    EngineLock lock = Engine::get().lock();
    const auto members = members_named(lock, user_id);
    for (const InstancePtr& m : members) m->session.messages.drop_next += count;
    return static_cast<int>(members.size());
}

}  // namespace ostrel::loopback::engine
