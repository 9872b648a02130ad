#include "engine/test_controls.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "engine/membership.h"
#include "engine/registry.h"
#include "engine/room_events.h"
#include "events/service_thread.h"

namespace ostrel::loopback::engine {

using namespace ostrel::vonu;

namespace {

void reconnect(const std::weak_ptr<InstanceState>& weak, uint64_t ticket) {
    EngineLock lock = Engine::get().lock();
    InstancePtr inst = weak.lock();
    if (!inst || inst->destroyed || !inst->session.disconnected || !inst->reconnect.live(ticket)) return;
    inst->reconnect.disarm();
    inst->session.disconnected = false;
    inst->post(state_change(CONNECTION_STATE_CONNECTING, CONNECTION_STATE_CONNECTED));
    inst->connection = CONNECTION_STATE_CONNECTED;
}

}  // namespace

Clock::time_point deadline_after(double timeout_seconds) {
    if (!(timeout_seconds >= 0)) timeout_seconds = 0;  // NaN and negative: just look
    timeout_seconds = std::min(timeout_seconds, 1e6);
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_seconds));
}

bool wait_idle(double timeout_seconds) { return wait_idle_until(deadline_after(timeout_seconds)); }

bool wait_idle_until(Clock::time_point deadline) {
    // First the frames the send workers hold: their delivery posts events, which are waited for next.
    std::vector<events::SendWorker::Backlog> backlogs;
    {
        EngineLock lock = Engine::get().lock();
        for (const InstancePtr& inst : Engine::get().live(lock)) {
            inst->session.for_each_worker([&backlogs](const events::SendWorker& w) {
                if (w) backlogs.push_back(w.backlog());
            });
        }
    }
    for (const events::SendWorker::Backlog& backlog : backlogs) {
        if (!backlog.wait_until(deadline)) return false;
    }
    std::vector<std::pair<std::shared_ptr<events::EventLoop>, uint64_t>> marks;
    {
        EngineLock lock = Engine::get().lock();
        for (const InstancePtr& inst : Engine::get().live(lock)) {
            if (inst->loop) marks.emplace_back(inst->loop, inst->loop->mark());
        }
    }
    for (auto& [loop, mark] : marks) {
        if (!loop->wait_delivered(mark, deadline)) return false;
    }
    return true;
}

int disconnect(const std::string& user_id, int ms) {
    EngineLock lock = Engine::get().lock();
    const auto members = members_named(lock, user_id);
    for (const InstancePtr& m : members) {
        if (!m->session.disconnected) {
            m->session.disconnected = true;
            m->post(state_change(m->connection, CONNECTION_STATE_DISCONNECTED));
            m->post(state_change(CONNECTION_STATE_DISCONNECTED, CONNECTION_STATE_CONNECTING));
            m->connection = CONNECTION_STATE_CONNECTING;
        }
        const uint64_t ticket = m->reconnect.arm();
        std::weak_ptr<InstanceState> weak = m;
        events::Service::get().post_in(std::chrono::milliseconds(std::max(ms, 0)),
                                       [weak, ticket] { reconnect(weak, ticket); });
    }
    return static_cast<int>(members.size());
}

int raise_error(const std::string& user_id, int code) {
    EngineLock lock = Engine::get().lock();
    const auto members = members_named(lock, user_id);
    for (const InstancePtr& m : members) m->post(error_event(static_cast<Error>(code)));
    return static_cast<int>(members.size());
}

int kick(const std::string& user_id, int reason) {
    EngineLock lock = Engine::get().lock();
    const auto members = members_named(lock, user_id);
    for (const InstancePtr& m : members) {
        m->post(error_event(ERR_BANNED_BY_SERVER));
        leave(lock, *m, reason, true);
    }
    return static_cast<int>(members.size());
}

int inject(const std::string* user_id, const events::Event& event) {
    EngineLock lock = Engine::get().lock();
    const auto targets = user_id ? members_named(lock, *user_id) : Engine::get().live(lock);
    for (const InstancePtr& t : targets) t->post(event);
    return static_cast<int>(targets.size());
}

void fail_next_create() {
    EngineLock lock = Engine::get().lock();
    Engine::get().fail_next_create(lock) = true;
}

int live_instances() {
    EngineLock lock = Engine::get().lock();
    return static_cast<int>(Engine::get().live(lock).size());
}

int disown_running() {
    std::vector<std::shared_ptr<events::EventLoop>> loops;
    {
        EngineLock lock = Engine::get().lock();
        for (const InstancePtr& inst : Engine::get().live(lock)) {
            if (inst->loop) loops.push_back(inst->loop);
        }
    }
    // Without the engine lock: the discarded events release their frames.
    int disowned = 0;
    for (const auto& loop : loops) {
        if (loop->disown_running()) ++disowned;
    }
    return disowned;
}

std::vector<LiveInstance> instances() {
    EngineLock lock = Engine::get().lock();
    std::vector<LiveInstance> out;
    for (const InstancePtr& inst : Engine::get().live(lock)) {
        LiveInstance live;
        live.id = inst->id;
        if (inst->in_room()) {
            // The room's key is "<app id>/s/<text id>" or "<app id>/n/<number>" (membership.cpp).
            const std::string& key = inst->session.room->key;
            const size_t slash = key.find('/');
            live.in_room = true;
            live.user_id = inst->session.user_id;
            live.room_id = slash == std::string::npos ? key : key.substr(slash + 3);
        }
        out.push_back(std::move(live));
    }
    return out;
}

}  // namespace ostrel::loopback::engine
