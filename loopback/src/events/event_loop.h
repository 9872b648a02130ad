// The event thread of one VONUCloud instance: a bounded queue of events and the thread that
// delivers them to the instance's delegate, one at a time and in the order they were posted.
//
// Delivery never holds a lock while the delegate runs, so every SDK operation may be called
// from inside any callback. Exceptions leaving a callback are contained here: the thread logs
// them, keeps their text for the control interface and carries on with the next event. A
// forced unwind (thread exit) is let through after the loop has marked itself gone, so a later
// stop()/finish() cannot hang.
//
// Lock order: an event loop's mutex is taken after the engine's; the service thread's mutex is
// never taken while it is held (finish() hands threads to the reaper after releasing it).
#ifndef OSTREL_LOOPBACK_EVENTS_EVENT_LOOP_H_
#define OSTREL_LOOPBACK_EVENTS_EVENT_LOOP_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "events/event.h"
#include "events/ring.h"
#include "log_throttle.h"
#include "vonu/ostrel_vonu_cloud.h"

namespace ostrel::loopback::events {

class EventLoop : public std::enable_shared_from_this<EventLoop> {
public:
    using Clock = std::chrono::steady_clock;

    // Starts the thread that delivers to `delegate` (which must not be null).
    static std::shared_ptr<EventLoop> start(vonu::VONUCloudDelegate* delegate, uint64_t instance);

    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Queues one event. After stop() events are discarded.
    void post(Event event);

    // Ends delivery, in two steps so that the caller may take the first under a lock of its own.
    // stop() never waits: afterwards no callback starts (one running may still finish) and the
    // queued events are set aside, to be discarded. finish(), called without locks held,
    // releases them and, with `wait` true and from any other thread, waits for a running
    // callback and joins the thread. On the loop's own thread (inside one of its callbacks), or
    // with `wait` false, nothing waits: the running callback finishes normally and the thread
    // is then handed to the reaper.
    void stop(bool wait);
    void finish();

    bool on_own_thread() const;
    // The loop whose callback is running on the calling thread, or null off event threads.
    static const EventLoop* current();
    // In a fork child: the forking thread runs no loop there, even if it forked from a callback.
    static void forget_in_child();

    // Sequence number of the newest event posted so far.
    uint64_t mark() const;
    // Waits until every event up to `mark` has been delivered (or discarded) and its callback
    // returned. On the loop's own thread (inside a callback) it returns true at once.
    bool wait_delivered(uint64_t mark, Clock::time_point deadline);

    // When a callback is running: disowns it, discards the events queued behind it, and returns
    // true. An exception that leaves the disowned callback is logged but not kept for escaped(),
    // and wait_delivered() does not wait for the loop while it runs.
    bool disown_running();

    // Called only by start(); public for std::make_shared.
    EventLoop(vonu::VONUCloudDelegate* delegate, uint64_t instance);

private:
    // The life of a loop. It starts open; stop() closes it for good, in one of three ways that
    // say who ends the thread.
    enum class Phase {
        open,              // delivering events
        joined_by_finish,  // stop(true) from another thread: finish() joins the thread
        reaps_itself,      // stop() from the loop's own thread, or stop(false): the thread ends
                           // after its running callback and hands itself to the reaper
        ended_before_stop  // the thread had already ended (a forced unwind): finish() hands it
                           // to the reaper
    };
    struct Queued {
        uint64_t seq = 0;
        Event event;
    };
    class RunningMark;
    class ThreadEnd;

    void run();
    bool idle_through(uint64_t mark) const;  // requires mutex_
    void drop_oldest_media();                // requires mutex_
    // True (and forgets the waiters' mark) when the events a waiter waits for are delivered.
    bool waiter_reached();  // requires mutex_
    void deliver(Event& event, uint64_t seq);

    vonu::VONUCloudDelegate* const delegate_;  // receives every event
    const uint64_t instance_;                  // the instance's number, for logs

    mutable std::mutex mutex_;       // guards everything below but thread_
    std::condition_variable wake_;   // the loop waits here for events or stop()
    std::condition_variable idle_;   // wait_delivered() waits here
    Ring<Queued> control_;           // events that are never dropped
    Ring<Queued> media_;             // frames, dropped oldest first beyond the bounds
    size_t media_bytes_ = 0;         // payload bytes in media_
    uint64_t next_seq_ = 1;          // sequence number of the next event posted
    uint64_t running_seq_ = 0;       // sequence number of the event being delivered, 0 when none
    uint64_t disowned_through_ = 0;  // the callback of an event up to this number is disowned
    static constexpr uint64_t kNoWaiter = UINT64_MAX;
    uint64_t wait_mark_ = kNoWaiter;  // lowest mark a wait_delivered() caller waits for
    log::Throttle drop_log_;          // drops, for the log
    bool sleeping_ = false;           // the loop waits for an event
    Phase phase_ = Phase::open;       // where the loop is in its life
    bool thread_gone_ = false;        // the thread took its last step (ThreadEnd ran)
    Ring<Queued> discarded_control_;  // set aside by stop(), released by finish()
    Ring<Queued> discarded_media_;
    std::thread finished_;  // a thread that ended before stop(): finish() hands it over
    std::thread thread_;    // the event thread, until joined or handed over
};

}  // namespace ostrel::loopback::events

#endif  // OSTREL_LOOPBACK_EVENTS_EVENT_LOOP_H_
