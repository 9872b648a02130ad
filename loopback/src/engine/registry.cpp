#include "engine/registry.h"

#include <algorithm>

#include "engine/membership.h"
#include "events/service_thread.h"
#include "logger.h"

namespace ostrel::loopback::engine {

namespace {

// True when following the wait links from `from` reaches `target`.
bool waits_for(const EngineLock& lock, const events::EventLoop* from, const events::EventLoop* target) {
    auto& links = Engine::get().waiting_for(lock);
    for (const events::EventLoop* at = from; at != nullptr;) {
        if (at == target) return true;
        auto next = links.find(at);
        at = next == links.end() ? nullptr : next->second;
    }
    return false;
}

}  // namespace

InstancePtr create_instance(vonu::VONUCloudDelegate* delegate) {
    Engine& engine = Engine::get();
    {
        EngineLock lock = engine.lock();
        bool& fail = engine.fail_next_create(lock);
        if (fail) {
            fail = false;
            OSTREL_LOG(kInfo, "Create failed on request of the control interface");
            return nullptr;
        }
    }
    events::Service::get().start();  // the service thread runs from the first instance on
    auto inst = std::make_shared<InstanceState>();
    EngineLock lock = engine.lock();
    inst->id = engine.take_id(lock);
    if (delegate != nullptr) inst->loop = events::EventLoop::start(delegate, inst->id);
    engine.live(lock).push_back(inst);
    OSTREL_LOG(kDebug, "instance %llu created%s", static_cast<unsigned long long>(inst->id),
               delegate ? "" : " without a delegate");
    return inst;
}

void destroy_instance(const InstancePtr& inst) {
    Engine& engine = Engine::get();
    std::shared_ptr<events::EventLoop> loop;
    // The instance whose callback is running on this thread, if any.
    const events::EventLoop* caller = events::EventLoop::current();
    bool linked = false;
    bool cycle = false;
    std::vector<events::SendWorker> workers;
    {
        EngineLock lock = engine.lock();
        if (inst->destroyed) return;
        inst->destroyed = true;
        workers = take_send_workers(lock, *inst);
        if (inst->in_room()) leave(lock, *inst, kExitLeft, false);
        inst->end_session();
        auto& live = engine.live(lock);
        live.erase(std::remove(live.begin(), live.end(), inst), live.end());
        loop = inst->loop;
        if (loop) {
            if (caller != nullptr && caller != loop.get()) {
                // Waiting for the target's running callback from inside a callback: if the
                // target's thread is itself (through others) waiting for the caller's, nobody
                // would ever return. Then the target ends the way it would end itself from inside.
                cycle = waits_for(lock, loop.get(), caller);
                if (!cycle) {
                    engine.waiting_for(lock)[caller] = loop.get();
                    linked = true;
                }
            }
            // Stopped under the engine lock, together with the link: whoever sees the link also
            // sees that the target starts no further callback.
            loop->stop(!cycle);
        }
    }
    // Outside the engine lock: the workers' last jobs may wait for it, and waiting for a running
    // callback must not block other instances.
    join_send_workers(workers);
    if (loop) {
        if (cycle) {
            OSTREL_LOG(kDebug, "instance %llu destroyed from a callback it waits for; its thread ends later",
                       static_cast<unsigned long long>(inst->id));
        }
        loop->finish();
    }
    if (linked) {
        EngineLock lock = engine.lock();
        engine.waiting_for(lock).erase(caller);
    }
    OSTREL_LOG(kDebug, "instance %llu destroyed", static_cast<unsigned long long>(inst->id));
}

std::vector<InstancePtr> members_named(const EngineLock& lock, const std::string& user_id) {
    std::vector<InstancePtr> found;
    for (const InstancePtr& inst : Engine::get().live(lock)) {
        if (inst->in_room() && inst->session.user_id == user_id) found.push_back(inst);
    }
    return found;
}

}  // namespace ostrel::loopback::engine
