// The rooms engine of the loopback SDK: the process-wide state every room feature works on,
// and the one lock that guards it.
//
// Features live in files of their own, as free functions over this state:
//   registry          Create and Destroy, the live instances, destroy-from-callback cycles
//   membership        entering, leaving, replacing, announcing members; subscriptions
//   audio_send        the local audio channel, frame validation, pacing
//   audio_receive     conversion to each receiver's format, mixing, the GetAudioFrame queue
//   video             local video channels, encoded and pixel frames, SEI, key frames
//   custom_messages   command messages: rate window, sequence numbers, drops and misses
//   network_quality   quality reports and the bitrate requests a quality change causes
//   test_controls     the simulation controls of the control interface
//
// Locking: a feature function that needs the state takes an EngineLock, which only
// Engine::lock() makes, so holding the lock is a matter of types rather than comments. The
// lock is held only for bookkeeping and for queueing events; no delegate ever runs under it,
// so every operation may be called from inside any callback, and no codec runs under it (the
// send workers convert without it). Lock order, complete:
//   engine lock -> an event loop's mutex
//   engine lock -> a send worker's mutex; a stream's codec mutex only tried, never waited for
// and the leaf locks (the service thread's mutex, settings, call recorder, log, the
// escaped-text store) last, each alone. Code holding the engine lock posts timed work to the
// service thread, taking its mutex; service tasks run without that mutex and may take the
// engine lock.
#ifndef OSTREL_LOOPBACK_ENGINE_ENGINE_H_
#define OSTREL_LOOPBACK_ENGINE_ENGINE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/instance_state.h"
#include "engine/timer_slot.h"
#include "process_local.h"

namespace ostrel::loopback::engine {

constexpr int kDefaultQualityIntervalMs = 2000;

// Proof that the engine lock is held: made only by Engine::lock(), released when it goes.
class EngineLock {
public:
    EngineLock(EngineLock&&) noexcept = default;
    EngineLock(const EngineLock&) = delete;
    EngineLock& operator=(const EngineLock&) = delete;

private:
    friend class Engine;
    explicit EngineLock(std::mutex& mutex) : lock_(mutex) {}
    std::unique_lock<std::mutex> lock_;  // the engine mutex, held for the token's life
};

// The network-quality reports of the whole process.
struct QualityReports {
    int interval_ms = kDefaultQualityIntervalMs;  // 0: no reports
    TimerSlot timer;                              // the running report cycle
};

class Engine {
public:
    // The rooms of this process (a forked child has rooms of its own; see ProcessLocal).
    static Engine& get();
    // In a fork child: a new, empty engine with the parent's report interval.
    static void forget_in_child();

    EngineLock lock() { return EngineLock(mutex_); }

    // The state, for holders of the lock.
    std::map<std::string, std::shared_ptr<Room>>& rooms(const EngineLock&) { return rooms_; }
    std::vector<InstancePtr>& live(const EngineLock&) { return live_; }
    std::map<const events::EventLoop*, const events::EventLoop*>& waiting_for(const EngineLock&) {
        return waiting_for_;
    }
    uint64_t take_id(const EngineLock&) { return next_id_++; }
    uint64_t take_stay(const EngineLock&) { return next_stay_++; }
    bool& fail_next_create(const EngineLock&) { return fail_next_create_; }
    QualityReports& quality(const EngineLock&) { return quality_; }

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

private:
    friend class ProcessLocal<Engine>;
    Engine() = default;

    std::mutex mutex_;                                    // the engine lock
    std::map<std::string, std::shared_ptr<Room>> rooms_;  // rooms with members, by key
    std::vector<InstancePtr> live_;                       // instances not yet destroyed, oldest first
    // Event threads blocked in Destroy, waiting for another instance's event thread to end: the
    // loop whose callback called Destroy, and the loop it waits for (see registry.cpp).
    std::map<const events::EventLoop*, const events::EventLoop*> waiting_for_;
    uint64_t next_id_ = 1;           // number of the next instance
    uint64_t next_stay_ = 1;         // number of the next stay in a room (Session::stay)
    bool fail_next_create_ = false;  // the next Create fails (a test control)
    QualityReports quality_;         // network-quality reports
};

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_ENGINE_H_
