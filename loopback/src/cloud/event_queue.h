// The event thread of one VONUCloud instance: a bounded queue of events and the thread that
// delivers them to the instance's delegate, one at a time and in the order they were posted.
//
// Delivery never holds a lock while the delegate runs, so every SDK operation may be called
// from inside any callback. Exceptions leaving a callback are contained here: the thread logs
// them, keeps their text for the control interface and carries on with the next event. A
// forced unwind (thread exit) is let through after the loop has marked itself gone, so a later
// stop()/finish() cannot hang.
#ifndef OSTREL_LOOPBACK_CLOUD_EVENT_QUEUE_H_
#define OSTREL_LOOPBACK_CLOUD_EVENT_QUEUE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <new>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "vonu/ostrel_vonu_cloud.h"

namespace ostrel {
namespace loopback {
namespace cloud {

// Per-instance bound on queued media frames. Beyond either limit the oldest queued frame is
// dropped, but the newest is always kept, so that a frame larger than the byte bound still
// reaches an idle delegate. Room, user, channel, message, quality and error events are never
// dropped.
constexpr size_t kMaxQueuedFrames = 256;
constexpr size_t kMaxQueuedFrameBytes = size_t{32} << 20;

// Number of exception texts kept for escaped(); older ones are forgotten first.
constexpr size_t kMaxEscapedKept = 1000;

// The call of one delegate callback, with its arguments: a copyable callable taking the
// delegate. Callables up to kInline bytes (every one the rooms make) live inside the object, so
// that queueing an event allocates nothing; larger ones are kept on the heap.
class Delivery {
public:
    static constexpr size_t kInline = 64;

    Delivery() noexcept = default;
    Delivery(std::nullptr_t) noexcept {}  // NOLINT: like std::function
    template <typename F, typename = std::enable_if_t<!std::is_same<std::decay_t<F>, Delivery>::value>>
    Delivery(F&& f) {  // NOLINT: like std::function
        emplace(std::forward<F>(f));
    }
    Delivery(const Delivery& other) {
        if (other.ops_ != nullptr) {
            other.ops_->copy(other.storage(), storage());
            ops_ = other.ops_;
        }
    }
    Delivery(Delivery&& other) noexcept { take(other); }
    Delivery& operator=(const Delivery& other) {
        if (this != &other) *this = Delivery(other);
        return *this;
    }
    Delivery& operator=(Delivery&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    Delivery& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }
    template <typename F, typename = std::enable_if_t<!std::is_same<std::decay_t<F>, Delivery>::value>>
    Delivery& operator=(F&& f) {
        reset();
        emplace(std::forward<F>(f));
        return *this;
    }
    ~Delivery() { reset(); }

    explicit operator bool() const noexcept { return ops_ != nullptr; }
    void operator()(vonu::VONUCloudDelegate& delegate) { ops_->invoke(storage(), delegate); }

private:
    struct Ops {
        void (*invoke)(void*, vonu::VONUCloudDelegate&);
        void (*copy)(const void*, void*);
        void (*move)(void*, void*) noexcept;  // move-constructs into the second and destroys the first
        void (*destroy)(void*) noexcept;
    };
    // A callable too large (or not safely movable) to live inline.
    template <typename F>
    struct Boxed {
        std::unique_ptr<F> f;
        Boxed(const Boxed& other) : f(std::make_unique<F>(*other.f)) {}
        Boxed(Boxed&&) noexcept = default;
        explicit Boxed(F&& callable) : f(std::make_unique<F>(std::move(callable))) {}
        explicit Boxed(const F& callable) : f(std::make_unique<F>(callable)) {}
        void operator()(vonu::VONUCloudDelegate& d) { (*f)(d); }
    };
    template <typename T>
    static const Ops* ops_for() {
        static const Ops ops = {
            [](void* p, vonu::VONUCloudDelegate& d) { (*static_cast<T*>(p))(d); },
            [](const void* from, void* to) { new (to) T(*static_cast<const T*>(from)); },
            [](void* from, void* to) noexcept {
                new (to) T(std::move(*static_cast<T*>(from)));
                static_cast<T*>(from)->~T();
            },
            [](void* p) noexcept { static_cast<T*>(p)->~T(); },
        };
        return &ops;
    }
    template <typename F>
    void emplace(F&& f) {
        using Fn = std::decay_t<F>;
        if constexpr (sizeof(Fn) <= kInline && alignof(Fn) <= alignof(std::max_align_t) &&
                      std::is_nothrow_move_constructible<Fn>::value) {
            new (storage()) Fn(std::forward<F>(f));
            ops_ = ops_for<Fn>();
        } else {
            new (storage()) Boxed<Fn>(std::forward<F>(f));
            ops_ = ops_for<Boxed<Fn>>();
        }
    }
    void take(Delivery& other) noexcept {
        if (other.ops_ == nullptr) return;
        other.ops_->move(other.storage(), storage());
        ops_ = other.ops_;
        other.ops_ = nullptr;
    }
    void reset() noexcept {
        if (ops_ == nullptr) return;
        ops_->destroy(storage());
        ops_ = nullptr;
    }
    void* storage() noexcept { return buffer_; }
    const void* storage() const noexcept { return buffer_; }

    alignas(std::max_align_t) unsigned char buffer_[kInline];
    const Ops* ops_ = nullptr;
};

struct Event {
    const char* name = "";  // the callback's name, for logs
    bool media = false;     // a frame: may be dropped while the delegate is slow
    size_t bytes = 0;       // payload bytes counted against kMaxQueuedFrameBytes
    Delivery deliver;
};

// A FIFO queue in one growing ring of slots: pushing and popping allocate nothing once it has
// grown to its working size. A queue emptied after a burst gives its large ring back.
template <typename T>
class Ring {
public:
    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    T& front() { return slots_[head_]; }
    const T& front() const { return slots_[head_]; }
    T& operator[](size_t i) { return slots_[(head_ + i) & (slots_.size() - 1)]; }
    void push_back(T&& value) {
        if (size_ == slots_.size()) grow();
        slots_[(head_ + size_) & (slots_.size() - 1)] = std::move(value);
        ++size_;
    }
    // The slot is reset, releasing what the element held.
    void pop_front() {
        slots_[head_] = T();
        head_ = (head_ + 1) & (slots_.size() - 1);
        if (--size_ == 0) {
            head_ = 0;
            if (slots_.size() > kKeep) std::vector<T>().swap(slots_);
        }
    }
    void clear() {
        std::vector<T>().swap(slots_);
        head_ = size_ = 0;
    }
    void swap(Ring& other) noexcept {
        slots_.swap(other.slots_);
        std::swap(head_, other.head_);
        std::swap(size_, other.size_);
    }

private:
    static constexpr size_t kKeep = 1024;  // slots kept by an empty queue
    void grow() {
        std::vector<T> bigger(slots_.empty() ? 16 : slots_.size() * 2);
        for (size_t i = 0; i < size_; ++i) bigger[i] = std::move((*this)[i]);
        slots_.swap(bigger);
        head_ = 0;
    }

    std::vector<T> slots_;  // a power of two in size, or empty
    size_t head_ = 0;
    size_t size_ = 0;
};

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
        uint64_t seq = 0;
        Event event;
    };
    class RunningMark;
    class ThreadEnd;

    void run();
    bool idle_through(uint64_t mark) const;  // requires mutex_
    void drop_oldest_media();                 // requires mutex_
    // True (and forgets the waiters' mark) when the events a waiter waits for are delivered.
    bool waiter_reached();  // requires mutex_
    void deliver(Event& event);

    vonu::VONUCloudDelegate* const delegate_;
    const uint64_t instance_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;  // the loop waits here for events or stop()
    std::condition_variable idle_;  // wait_delivered() waits here
    Ring<Queued> control_;
    Ring<Queued> media_;
    size_t media_bytes_ = 0;
    uint64_t next_seq_ = 1;
    uint64_t running_seq_ = 0;  // sequence number of the event being delivered, 0 when none
    static constexpr uint64_t kNoWaiter = UINT64_MAX;
    uint64_t wait_mark_ = kNoWaiter;  // lowest mark a wait_delivered() caller waits for
    uint64_t dropped_ = 0;
    uint64_t dropped_unlogged_ = 0;
    Clock::time_point last_drop_log_{};
    bool sleeping_ = false;  // the loop waits for an event
    bool closing_ = false;
    bool reap_self_ = false;
    bool thread_gone_ = false;
    bool join_ = false;  // finish() joins the thread
    Ring<Queued> discarded_control_;  // set aside by stop(), released by finish()
    Ring<Queued> discarded_media_;
    std::thread finished_;          // a thread that ended before stop(): finish() hands it over
    std::thread thread_;
};

// Process-wide figures for the control interface.
uint64_t total_dropped();
// Counts frames dropped outside an event queue (the GetAudioFrame queue).
void note_dropped(uint64_t frames);
int sdk_threads();
std::vector<std::string> escaped();
void clear_escaped();

// Number of delegate callbacks running right now, process-wide: counted from the moment the SDK
// calls the delegate until the delegate returns (or its thread unwinds out of it).
int callbacks_running();

// Accounting of SDK threads: every thread the SDK starts is counted until it has been joined.
void thread_started();
void thread_joined();

// In a fork child: no threads, callbacks, drops or escaped texts of the parent's.
void forget_events_in_child();

}  // namespace cloud
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_CLOUD_EVENT_QUEUE_H_
