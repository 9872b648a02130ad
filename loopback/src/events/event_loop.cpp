#include "events/event_loop.h"

#include <cxxabi.h>
#include <sched.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "events/sdk_counters.h"
#include "events/service_thread.h"
#include "logger.h"

namespace ostrel::loopback::events {

namespace {

thread_local const EventLoop* t_current_loop = nullptr;

}  // namespace

// Counts the callback as running while it lasts. When a delivery ends by unwinding the thread
// (a forced unwind) it also clears the running mark, so that nothing waits on a callback that is
// no longer running; a delivery that returns has the loop clear it under its next lock.
class EventLoop::RunningMark {
public:
    explicit RunningMark(EventLoop& loop) : loop_(loop) { callback_entered(); }
    ~RunningMark() {
        callback_left();
        if (returned_) return;
        bool notify;
        {
            std::lock_guard<std::mutex> lock(loop_.mutex_);
            loop_.running_seq_ = 0;
            notify = loop_.waiter_reached();
        }
        if (notify) loop_.idle_.notify_all();
    }
    void returned() { returned_ = true; }
    RunningMark(const RunningMark&) = delete;
    RunningMark& operator=(const RunningMark&) = delete;

private:
    EventLoop& loop_;
    bool returned_ = false;
};

// Runs last on the event thread, also during a forced unwind: marks the thread gone, discards
// what is still queued, and hands the thread to the reaper when the instance was destroyed from
// inside one of its own callbacks.
class EventLoop::ThreadEnd {
public:
    explicit ThreadEnd(EventLoop& loop) : loop_(loop) {}
    ~ThreadEnd() {
        Ring<Queued> control;
        Ring<Queued> media;
        std::thread self;
        {
            std::lock_guard<std::mutex> lock(loop_.mutex_);
            loop_.thread_gone_ = true;
            loop_.running_seq_ = 0;
            control.swap(loop_.control_);
            media.swap(loop_.media_);
            loop_.media_bytes_ = 0;
            if (loop_.phase_ == Phase::reaps_itself) self = std::move(loop_.thread_);
        }
        loop_.idle_.notify_all();
        t_current_loop = nullptr;
        if (self.joinable()) Service::get().reap(std::move(self));
    }
    ThreadEnd(const ThreadEnd&) = delete;
    ThreadEnd& operator=(const ThreadEnd&) = delete;

private:
    EventLoop& loop_;
};

EventLoop::EventLoop(vonu::VONUCloudDelegate* delegate, uint64_t instance) : delegate_(delegate), instance_(instance) {}

std::shared_ptr<EventLoop> EventLoop::start(vonu::VONUCloudDelegate* delegate, uint64_t instance) {
    auto loop = std::make_shared<EventLoop>(delegate, instance);
    std::lock_guard<std::mutex> lock(loop->mutex_);
    thread_started();
    try {
        // The thread keeps the loop alive until it ends.
        loop->thread_ = std::thread([self = loop] { self->run(); });
    } catch (...) {
        thread_joined();
        throw;
    }
    return loop;
}

EventLoop::~EventLoop() {
    // Only reached once the thread has been joined or handed to the reaper; a thread still
    // owned here would end the process, so detach as a last resort.
    if (thread_.joinable()) {
        OSTREL_LOG(kError, "instance %llu: event thread still running at teardown; detached",
                   static_cast<unsigned long long>(instance_));
        thread_.detach();
        thread_joined();
    }
}

bool EventLoop::on_own_thread() const { return t_current_loop == this; }

const EventLoop* EventLoop::current() { return t_current_loop; }

void EventLoop::forget_in_child() { t_current_loop = nullptr; }

void EventLoop::post(Event event) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (phase_ != Phase::open || thread_gone_) return;
        // Only a thread asleep on an empty queue needs waking, and only once; a busy or already
        // woken one looks at the queue again anyway.
        wake = sleeping_;
        sleeping_ = false;
        Queued q{next_seq_++, std::move(event)};
        if (q.event.media) {
            media_bytes_ += q.event.bytes;
            media_.push_back(std::move(q));
            while (media_.size() > 1 && (media_.size() > kMaxQueuedFrames || media_bytes_ > kMaxQueuedFrameBytes))
                drop_oldest_media();
        } else {
            control_.push_back(std::move(q));
        }
    }
    if (wake) wake_.notify_one();
}

void EventLoop::drop_oldest_media() {
    media_bytes_ -= media_.front().event.bytes;
    media_.pop_front();
    note_dropped(1);
    if (const uint64_t to_log = drop_log_.count(1)) {
        OSTREL_LOG(kWarning, "instance %llu: delegate too slow, dropped %llu queued frames (oldest first)",
                   static_cast<unsigned long long>(instance_), static_cast<unsigned long long>(to_log));
    }
    // Waiters on an event that was dropped count it as delivered.
    if (waiter_reached()) idle_.notify_all();
}

bool EventLoop::waiter_reached() {
    if (wait_mark_ == kNoWaiter || !idle_through(wait_mark_)) return false;
    wait_mark_ = kNoWaiter;
    return true;
}

void EventLoop::stop(bool wait) {
    // Inside one of its own callbacks the loop cannot wait for itself.
    const bool hand_over = !wait || on_own_thread();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (phase_ != Phase::open) return;
        if (!hand_over) {
            phase_ = Phase::joined_by_finish;
        } else if (thread_gone_) {
            // The thread already took its last step (a forced unwind) and will not hand itself
            // over any more.
            phase_ = Phase::ended_before_stop;
            finished_ = std::move(thread_);
        } else {
            phase_ = Phase::reaps_itself;
        }
        discarded_control_.swap(control_);
        discarded_media_.swap(media_);
        media_bytes_ = 0;
    }
    wake_.notify_all();
    idle_.notify_all();
}

void EventLoop::finish() {
    Ring<Queued> control;
    Ring<Queued> media;
    std::thread finished;
    bool join = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        control.swap(discarded_control_);
        media.swap(discarded_media_);
        finished = std::move(finished_);
        join = phase_ == Phase::joined_by_finish;
    }
    // Discarded events (and the frames they hold) are released here, without any lock.
    control.clear();
    media.clear();
    if (finished.joinable()) Service::get().reap(std::move(finished));
    if (join && thread_.joinable()) {
        thread_.join();
        thread_joined();
    }
}

uint64_t EventLoop::mark() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_seq_ - 1;
}

bool EventLoop::idle_through(uint64_t mark) const {
    if (thread_gone_ || phase_ != Phase::open) return true;
    // A disowned callback is nobody's to wait for, and nothing behind it can be delivered before it.
    if (running_seq_ != 0 && running_seq_ <= disowned_through_) return true;
    if (!control_.empty() && control_.front().seq <= mark) return false;
    if (!media_.empty() && media_.front().seq <= mark) return false;
    return running_seq_ == 0 || running_seq_ > mark;
}

bool EventLoop::disown_running() {
    Ring<Queued> control;
    Ring<Queued> media;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_seq_ == 0) return false;
        disowned_through_ = next_seq_ - 1;
        control.swap(control_);
        media.swap(media_);
        media_bytes_ = 0;
    }
    idle_.notify_all();  // waiters need not wait for this loop any more
    // The discarded events (and the frames they hold) are released without the lock.
    control.clear();
    media.clear();
    return true;
}

bool EventLoop::wait_delivered(uint64_t mark, Clock::time_point deadline) {
    // On the loop's own thread every earlier event has been delivered already, and the running
    // callback cannot finish while it waits here.
    if (on_own_thread()) return true;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!idle_through(mark)) {
        // The loop wakes its waiters once the lowest mark any of them waits for is reached;
        // those still waiting for more mark themselves again.
        wait_mark_ = std::min(wait_mark_, mark);
        if (idle_.wait_until(lock, deadline) == std::cv_status::timeout) return idle_through(mark);
    }
    return true;
}

// A forced unwind carries no exception object, so catching it by reference binds a null
// reference; that is how the C++ runtime defines it, and the null check is turned off here.
__attribute__((no_sanitize("null"))) void EventLoop::deliver(Event& event, uint64_t seq) {
    const auto keep = [this, seq, &event](std::string text) {
        bool disowned;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            disowned = seq <= disowned_through_;
        }
        if (disowned) {
            OSTREL_LOG(kWarning, "instance %llu: callback %s was disowned; its exception is not kept",
                       static_cast<unsigned long long>(instance_), event.name);
        } else {
            keep_escaped(std::move(text));
        }
    };
    // No lock is held here: the callback may call any operation, Destroy included.
    try {
        event.deliver(*delegate_);
    } catch (abi::__forced_unwind&) {
        // The thread is being ended (pthread_exit or cancellation); RunningMark and ThreadEnd
        // release everything on the way out. Later events of this instance go undelivered.
        OSTREL_LOG(kWarning, "instance %llu: event thread ended inside callback %s",
                   static_cast<unsigned long long>(instance_), event.name);
        throw;
    } catch (const std::exception& e) {
        const char* what = e.what();
        OSTREL_LOG(kError, "instance %llu: exception left callback %s: %s", static_cast<unsigned long long>(instance_),
                   event.name, what ? what : "");
        keep(what ? what : "");
    } catch (...) {
        OSTREL_LOG(kError, "instance %llu: unknown exception left callback %s",
                   static_cast<unsigned long long>(instance_), event.name);
        keep("unknown exception");
    }
}

void EventLoop::run() {
    t_current_loop = this;
    ThreadEnd end(*this);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (phase_ == Phase::open && control_.empty() && media_.empty()) {
            // Before sleeping, let a sender running on this core go on: a thread that finds
            // more events on its return needs no wake-up call, which costs the sender far more.
            lock.unlock();
            sched_yield();
            lock.lock();
        }
        while (phase_ == Phase::open && control_.empty() && media_.empty()) {
            sleeping_ = true;
            wake_.wait(lock);
            sleeping_ = false;
        }
        if (phase_ != Phase::open) break;
        // The older of the two queue fronts goes first, so events keep their posting order.
        Ring<Queued>* from = &control_;
        if (control_.empty() || (!media_.empty() && media_.front().seq < control_.front().seq)) from = &media_;
        Queued q = std::move(from->front());
        from->pop_front();
        if (q.event.media) media_bytes_ -= q.event.bytes;
        running_seq_ = q.seq;
        lock.unlock();
        {
            RunningMark mark(*this);
            deliver(q.event, q.seq);
            mark.returned();
        }
        // The event (and anything it captured) is released before the lock is taken again.
        q.event.deliver = nullptr;
        lock.lock();
        running_seq_ = 0;
        if (waiter_reached()) idle_.notify_all();
    }
}

}  // namespace ostrel::loopback::events
