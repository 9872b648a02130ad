#include "fork_safety.h"

#include <pthread.h>

#include <atomic>

#include "engine/codec_count.h"
#include "engine/engine.h"
#include "events/event_loop.h"
#include "events/sdk_counters.h"
#include "events/service_thread.h"
#include "logger.h"
#include "call_recorder.h"
#include "settings.h"

namespace ostrel {
namespace loopback {
namespace fork_safety {

namespace {

std::atomic<uint64_t> g_generation{0};  // moved on only in a new child

void before_fork() {
    settings::mutex_for_fork().lock();
    call_recorder::mutex_for_fork().lock();
    log::mutex_for_fork().lock();
}

void release_locks() {
    log::mutex_for_fork().unlock();
    call_recorder::mutex_for_fork().unlock();
    settings::mutex_for_fork().unlock();
}

void in_child() {
    release_locks();  // the forking thread took them, and it is this thread's copy
    g_generation.fetch_add(1, std::memory_order_relaxed);
    engine::Engine::forget_in_child();
    engine::forget_codecs_in_child();
    events::Service::forget_in_child();
    events::forget_counters_in_child();
    events::EventLoop::forget_in_child();
}

[[maybe_unused]] const int g_registered = pthread_atfork(before_fork, release_locks, in_child);

}  // namespace

uint64_t process_generation() { return g_generation.load(std::memory_order_relaxed); }

}  // namespace fork_safety
}  // namespace loopback
}  // namespace ostrel
