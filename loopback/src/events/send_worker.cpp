#include "events/send_worker.h"

#include <cxxabi.h>
#include <sched.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "call_recorder.h"
#include "events/event.h"
#include "events/ring.h"
#include "events/sdk_counters.h"
#include "events/service_thread.h"
#include "log_throttle.h"
#include "logger.h"

namespace ostrel::loopback::events {

struct SendWorkerState {
    // A job and what it counts against the bounds.
    struct Queued {
        uint64_t seq = 0;     // its number, from 1 in posting order
        SendWorker::Job job;  // the work
        size_t bytes = 0;     // its payload
    };

    SendWorkerState(std::string name, uint64_t instance) : name(std::move(name)), instance(instance) {}

    // Every job up to `seq` has run, been dropped or been discarded.
    bool done_through(uint64_t seq) const { return done_seq >= seq; }
    // Once no job runs: everything before the first queued job is done.
    void settle() { done_seq = queue.empty() ? next_seq - 1 : queue.front().seq - 1; }

    const std::string name;   // the stream, for the log
    const uint64_t instance;  // the sender's instance number, for the log
    std::thread::id thread;   // the worker thread's id, set before it runs

    std::mutex mutex;                // guards everything below
    std::condition_variable wake;    // the thread waits here for jobs or stop
    std::condition_variable idle;    // Backlog::wait_until waits here
    Ring<Queued> queue;              // jobs not yet started, oldest first
    size_t bytes = 0;                // payload bytes in queue
    uint64_t next_seq = 1;           // number of the next job posted
    uint64_t done_seq = 0;           // every job up to this one is done
    bool running = false;            // a job has been taken and has not returned
    bool dropped_since_run = false;  // jobs were dropped since the last one was taken
    bool stopped = false;            // no job starts any more
    log::Throttle drop_log;          // drops, for the log
};

namespace {

using Core = SendWorkerState;

// Marks the running job finished however it ends, a thread-exit unwind included.
class JobEnd {
public:
    explicit JobEnd(Core& core) : core_(core) {}
    ~JobEnd() {
        {
            std::lock_guard<std::mutex> lock(core_.mutex);
            core_.running = false;
            core_.settle();
        }
        core_.idle.notify_all();
    }
    JobEnd(const JobEnd&) = delete;
    JobEnd& operator=(const JobEnd&) = delete;

private:
    Core& core_;  // the worker whose job ends
};

// Stops the worker: no job starts any more and the queued ones are discarded (released after
// the worker's lock).
void stop(Core& core) {
    Ring<Core::Queued> discarded;
    {
        std::lock_guard<std::mutex> lock(core.mutex);
        core.stopped = true;
        core.queue.swap(discarded);
        core.bytes = 0;
        if (!core.running) core.settle();
    }
    core.wake.notify_one();
    core.idle.notify_all();
}

// Runs one job; nothing it throws leaves, but a thread-exit unwind goes on. A forced unwind
// carries no exception object, so catching it by reference binds a null reference (see
// EventLoop::deliver); the null check is turned off here.
__attribute__((no_sanitize("null"))) void run_job(Core& core, SendWorker::Job& job, bool after_drop) {
    try {
        job(after_drop);
    } catch (abi::__forced_unwind&) {
        stop(core);  // the thread ends: nothing queued would ever run
        throw;
    } catch (const std::exception& e) {
        OSTREL_LOG(kError, "%s of instance %llu failed: %s", core.name.c_str(),
                   static_cast<unsigned long long>(core.instance), e.what());
    } catch (...) {
        OSTREL_LOG(kError, "%s of instance %llu failed: unknown exception", core.name.c_str(),
                   static_cast<unsigned long long>(core.instance));
    }
}

// Makes the calling thread a batch thread (SCHED_BATCH), which keeps its fair share of the
// processor, but which the scheduler does not run in place of the thread that woke it: an
// ordinary worker that a send wakes takes the sender's processor at once, and the send returns
// only after the worker's time slice. With ordinary workers, 7 to 91 of 330 sends of 1080p
// frames to an H.264 receiver took over 2 ms (bench/send.py, three runs on two processors);
// with batch workers, 0 to 2. Where the kernel refuses, the worker stays an ordinary thread.
void become_batch_thread() {
    const sched_param param{};
    (void)sched_setscheduler(0, SCHED_BATCH, &param);
}

// The worker thread's body.
void run(const std::shared_ptr<Core>& core) {
    call_recorder::Mute mute;  // the work is the SDK's own, not calls into it
    become_batch_thread();
    for (;;) {
        Core::Queued next;
        bool after_drop = false;
        {
            std::unique_lock<std::mutex> lock(core->mutex);
            core->wake.wait(lock, [&] { return core->stopped || !core->queue.empty(); });
            if (core->stopped) return;
            next = std::move(core->queue.front());
            core->queue.pop_front();
            core->bytes -= next.bytes;
            core->running = true;
            after_drop = std::exchange(core->dropped_since_run, false);
        }
        JobEnd end(*core);
        run_job(*core, next.job, after_drop);
        // What the job captured (a stream's last codecs, say) goes before anyone sees it done.
        next.job = nullptr;
    }
}

// The thread's entry: nothing leaves it but a thread-exit unwind.
__attribute__((no_sanitize("null"))) void thread_body(const std::shared_ptr<Core>& core) {
    try {
        run(core);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        OSTREL_LOG(kError, "%s of instance %llu ended: %s", core->name.c_str(),
                   static_cast<unsigned long long>(core->instance), e.what());
        stop(*core);
    } catch (...) {
        OSTREL_LOG(kError, "%s of instance %llu ended: unknown exception", core->name.c_str(),
                   static_cast<unsigned long long>(core->instance));
        stop(*core);
    }
}

}  // namespace

bool SendWorker::Backlog::wait_until(Clock::time_point deadline) const {
    if (!core_ || std::this_thread::get_id() == core_->thread) return true;
    std::unique_lock<std::mutex> lock(core_->mutex);
    return core_->idle.wait_until(lock, deadline, [this] { return core_->done_through(through_); });
}

SendWorker SendWorker::start(const char* name, uint64_t instance) {
    SendWorker worker;
    worker.core_ = std::make_shared<SendWorkerState>(name, instance);
    std::shared_ptr<SendWorkerState> core = worker.core_;
    thread_started();
    worker.thread_ = std::thread([core] { thread_body(core); });
    // Read only by waiters, who find the worker after start() returned.
    worker.core_->thread = worker.thread_.get_id();
    return worker;
}

SendWorker::~SendWorker() { retire(); }

SendWorker& SendWorker::operator=(SendWorker&& other) noexcept {
    if (this != &other) {
        retire();
        core_ = std::move(other.core_);
        thread_ = std::move(other.thread_);
    }
    return *this;
}

bool SendWorker::on_own_thread() const { return thread_.joinable() && std::this_thread::get_id() == thread_.get_id(); }

void SendWorker::post(Job job, size_t bytes) {
    if (!core_) return;
    Ring<SendWorkerState::Queued> dropped;
    uint64_t to_log = 0;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        if (core_->stopped) return;
        core_->queue.push_back(SendWorkerState::Queued{core_->next_seq++, std::move(job), bytes});
        core_->bytes += bytes;
        while (core_->queue.size() > 1 &&
               (core_->queue.size() > kMaxQueuedFrames || core_->bytes > kMaxQueuedFrameBytes)) {
            core_->bytes -= core_->queue.front().bytes;
            dropped.push_back(std::move(core_->queue.front()));
            core_->queue.pop_front();
            core_->dropped_since_run = true;
        }
        to_log = core_->drop_log.count(dropped.size());
    }
    core_->wake.notify_one();
    if (!dropped.empty()) note_send_dropped(dropped.size());
    if (to_log > 0) {
        OSTREL_LOG(kWarning, "%s of instance %llu fell behind: %llu frames dropped", core_->name.c_str(),
                   static_cast<unsigned long long>(core_->instance), static_cast<unsigned long long>(to_log));
    }
    // The dropped jobs' captures are released here, without the worker's lock.
}

SendWorker::Backlog SendWorker::backlog() const {
    Backlog backlog;
    if (!core_) return backlog;
    backlog.core_ = core_;
    std::lock_guard<std::mutex> lock(core_->mutex);
    backlog.through_ = core_->next_seq - 1;
    return backlog;
}

void SendWorker::join() {
    if (!thread_.joinable()) return;
    stop(*core_);
    if (on_own_thread()) {
        retire();
        return;
    }
    thread_.join();
    thread_joined();
    core_.reset();
}

void SendWorker::retire() {
    if (!thread_.joinable()) return;
    stop(*core_);
    Service::get().reap(std::move(thread_));
    core_.reset();
}

}  // namespace ostrel::loopback::events
