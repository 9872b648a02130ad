// The event thread of one VONUCloud instance: a bounded queue of events and the thread that
// delivers them to the instance's delegate, one at a time and in the order they were posted.
//
// Delivery never holds a lock while the delegate runs, so every SDK operation may be called
// from inside any callback. Exceptions leaving a callback are contained here: the thread logs
// them, keeps their text for the control interface and carries on with the next event. A
// forced unwind (thread exit) is let through after the loop has marked itself gone, so a later
// close() cannot hang.
#ifndef OSTREL_LOOPBACK_CLOUD_EVENT_QUEUE_H_
#define OSTREL_LOOPBACK_CLOUD_EVENT_QUEUE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vonu/ostrel_vonu_cloud.h"

namespace ostrel {
namespace loopback {
namespace cloud {

// Per-instance bound on queued media frames. Beyond either limit the oldest queued frame is
// dropped. Room, user, channel, message, quality and error events are never dropped.
constexpr size_t kMaxQueuedFrames = 256;
constexpr size_t kMaxQueuedFrameBytes = size_t{32} << 20;

// Number of exception texts kept for escaped(); older ones are forgotten first.
constexpr size_t kMaxEscapedKept = 1000;

struct Event {
    const char* name = "";  // the callback's name, for logs
    bool media = false;     // a frame: may be dropped while the delegate is slow
    size_t bytes = 0;       // payload bytes counted against kMaxQueuedFrameBytes
    std::function<void(vonu::VONUCloudDelegate&)> deliver;
};

class EventLoop : public std::enable_shared_from_this<EventLoop> {
public:
    using Clock = std::chrono::steady_clock;

    // Starts the thread that delivers to `delegate` (which must not be null).
    static std::shared_ptr<EventLoop> start(vonu::VONUCloudDelegate* delegate, uint64_t instance);

    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Queues one event. After close() events are discarded.
    void post(Event event);

    // Ends delivery: queued events are discarded and no callback starts after this returns.
    // From any other thread it waits for a running callback and joins the thread. On the
    // loop's own thread (inside one of its callbacks) it returns at once; the running callback
    // finishes normally and the thread is then handed to the reaper.
    void close();

    bool on_own_thread() const;

    // Sequence number of the newest event posted so far.
    uint64_t mark() const;
    // Waits until every event up to `mark` has been delivered (or discarded) and its callback
    // returned. On the loop's own thread (inside a callback) it returns true at once.
    bool wait_delivered(uint64_t mark, Clock::time_point deadline);

    uint64_t dropped() const;

    // Called only by start(); public for std::make_shared.
    EventLoop(vonu::VONUCloudDelegate* delegate, uint64_t instance);

private:
    struct Queued {
        uint64_t seq;
        Event event;
    };
    class RunningMark;
    class ThreadEnd;

    void run();
    bool idle_through(uint64_t mark) const;  // requires mutex_
    void drop_oldest_media();                 // requires mutex_
    void deliver(Event& event);

    vonu::VONUCloudDelegate* const delegate_;
    const uint64_t instance_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;  // the loop waits here for events or close
    std::condition_variable idle_;  // wait_delivered() waits here
    std::deque<Queued> control_;
    std::deque<Queued> media_;
    size_t media_bytes_ = 0;
    uint64_t next_seq_ = 1;
    uint64_t running_seq_ = 0;  // sequence number of the event being delivered, 0 when none
    uint64_t dropped_ = 0;
    uint64_t dropped_unlogged_ = 0;
    Clock::time_point last_drop_log_{};
    bool sleeping_ = false;  // the loop waits for an event
    bool closing_ = false;
    bool reap_self_ = false;
    bool thread_gone_ = false;
    std::thread thread_;
};

// Process-wide figures for the control interface.
uint64_t total_dropped();
// Counts frames dropped outside an event queue (the GetAudioFrame queue).
void note_dropped(uint64_t frames);
int sdk_threads();
std::vector<std::string> escaped();
void clear_escaped();

// Accounting of SDK threads: every thread the SDK starts is counted until it has been joined.
void thread_started();
void thread_joined();

}  // namespace cloud
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_CLOUD_EVENT_QUEUE_H_
