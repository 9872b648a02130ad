// EventQueue: events handed from SDK threads to one Python thread without the GIL.
//
// Design note. A delegate whose events an asyncio loop consumes needs nothing from Python on the
// SDK's thread: the event's arguments can be copied into native memory there, and turned into
// Python objects later, on the loop's thread, many at a time. The queue is what lies between:
//
// - push() runs on any thread, never blocks and takes no lock: the event is linked onto a list
//   with one compare-and-swap. So an SDK thread neither waits for the GIL nor for the consumer,
//   and nothing of the queue can be left locked by fork() or by a thread the interpreter ends.
// - The consumer takes the whole list at once (one exchange) and reverses it: the events come
//   out in the order their pushes took effect, which for one thread is the order it pushed them.
// - The consumer is woken through an eventfd, readable while events wait. Only a push that finds
//   the list empty writes to it, so a burst costs one wake-up. take() reads (clears) it before
//   it takes the list: a push after that finds the list empty and writes again, so no event is
//   left waiting unseen; at worst a wake-up finds nothing.
// - Each event keeps its delegate's account (what waits, what was lost), given back when taken.
//
// The queue is shared (std::shared_ptr) by the Python object that reads it and by the delegates
// that push into it, and is destroyed with the last of them, on whichever thread; it holds no
// Python object, so that needs no GIL.
#ifndef OSTREL_EVENT_QUEUE_H_
#define OSTREL_EVENT_QUEUE_H_

#include <pybind11/pybind11.h>

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace ostrel_binding {

namespace py = pybind11;

// What one delegate has in its queue: updated on SDK threads and by the consumer.
struct DeliveryAccount {
    explicit DeliveryAccount(size_t frame_bytes_limit) : frame_bytes_limit(frame_bytes_limit) {}

    const size_t frame_bytes_limit;        // frames beyond this many payload bytes waiting are lost
    std::atomic<size_t> waiting{0};        // events pushed and not yet taken
    std::atomic<size_t> frame_bytes{0};    // payload bytes of the frames among them
    std::atomic<uint64_t> frames_lost{0};  // frames not queued because of the limit
};

// One event in native memory: its delegate's key, which callback it was, when it was made, and
// its arguments (kept by a subclass).
class QueuedEvent {
public:
    QueuedEvent(uint64_t key, size_t event, size_t frame_bytes, std::shared_ptr<DeliveryAccount> account);
    virtual ~QueuedEvent();
    QueuedEvent(const QueuedEvent&) = delete;
    QueuedEvent& operator=(const QueuedEvent&) = delete;

    // The Python arguments of the callback, exactly as a Python delegate method receives them.
    // Called once, with the GIL held; raises the Python error when one cannot be made.
    virtual py::tuple arguments() = 0;

    uint64_t key() const { return key_; }
    size_t event() const { return event_; }       // the callback's row in the delegate event table
    int64_t made_ns() const { return made_ns_; }  // CLOCK_MONOTONIC, when the SDK called

private:
    friend class EventQueue;
    QueuedEvent* next_ = nullptr;  // the event pushed before this one, while in the queue
    const uint64_t key_;
    const size_t event_;
    const int64_t made_ns_;
    const size_t frame_bytes_;                  // payload bytes, for a frame event
    std::shared_ptr<DeliveryAccount> account_;  // given back to when the event is taken or dropped
};

class EventQueue {
public:
    // Raises std::system_error when no eventfd can be made.
    EventQueue();
    // Frees the events still waiting and closes the eventfd.
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // The eventfd: readable while events wait.
    int fd() const { return fd_; }

    // Counts a frame event one of its delegates did not queue (its bound was reached).
    void note_frame_lost() noexcept { frames_lost_.fetch_add(1, std::memory_order_relaxed); }
    // Frame events lost by all its delegates.
    uint64_t frames_lost() const { return frames_lost_.load(std::memory_order_relaxed); }

    // Whether events wait now (one load, no system call).
    bool waiting() const { return newest_.load(std::memory_order_relaxed) != nullptr; }

    // Queues `event`; any thread, without the GIL. Never blocks.
    void push(std::unique_ptr<QueuedEvent> event) noexcept;

    // Every event waiting, oldest first; the eventfd is read first. In a process other than the
    // one that made the queue (a child of fork()), takes nothing and leaves the eventfd alone:
    // it is the parent's as much as the child's.
    std::vector<std::unique_ptr<QueuedEvent>> take();

private:
    std::atomic<QueuedEvent*> newest_{nullptr};  // the last event pushed; each links to the one before
    std::atomic<uint64_t> frames_lost_{0};       // see frames_lost()
    const int fd_;
    const pid_t process_;  // the process that made the queue
};

// CLOCK_MONOTONIC now, in nanoseconds (Python's time.monotonic(), and asyncio's loop time).
int64_t monotonic_ns();

}  // namespace ostrel_binding

#endif  // OSTREL_EVENT_QUEUE_H_
