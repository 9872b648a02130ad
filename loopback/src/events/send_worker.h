// The worker of one sending stream (a sender's audio channel, or one of its video channels):
// a thread that runs the stream's delivery work (conversions, codecs, handing frames to the
// receivers) in the order the frames were sent, so that a send only validates, copies and
// queues, and returns. It is a batch thread (SCHED_BATCH, see send_worker.cpp), so that a send
// that wakes it is not made to wait for it.
//
// The queue is bounded like an instance's frame queue (kMaxQueuedFrames frames and
// kMaxQueuedFrameBytes of payload, the newest always kept): a worker that falls behind drops
// the oldest waiting jobs, counts them in total_send_dropped() and tells the next job it runs
// that jobs before it were dropped (a video stream then codes a key frame).
//
// Ending a worker: join() stops it (queued jobs are discarded), waits for the running job and
// joins the thread; it is called without any SDK lock held and never on the worker's own
// thread. A handle destroyed without join() (a stream ended under the engine lock) stops the
// worker and hands its thread to the service thread's reaper. Jobs run without any lock of the
// worker's held; the worker's mutex is a leaf that may be taken under the engine lock.
#ifndef OSTREL_LOOPBACK_EVENTS_SEND_WORKER_H_
#define OSTREL_LOOPBACK_EVENTS_SEND_WORKER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace ostrel::loopback::events {

struct SendWorkerState;  // a worker's queue and state, shared by its handle and its thread

class SendWorker {
public:
    using Clock = std::chrono::steady_clock;
    // One piece of work; `after_drop` is true when jobs queued before it were dropped since the
    // previous job ran.
    using Job = std::function<void(bool after_drop)>;

    // Jobs queued up to some moment, to wait for after locks are released.
    class Backlog {
    public:
        // Waits until those jobs have run (or were dropped or discarded); false on timeout.
        // True at once on the worker's own thread.
        bool wait_until(Clock::time_point deadline) const;

    private:
        friend class SendWorker;
        std::shared_ptr<SendWorkerState> core_;  // the worker's state, kept alive while waiting
        uint64_t through_ = 0;                   // the newest job to wait for
    };

    // No worker: no thread, posts are refused.
    SendWorker() = default;
    // Starts a worker thread; `name` (the stream, say) is for the log.
    static SendWorker start(const char* name, uint64_t instance);

    // Stops a worker that was not joined and hands its thread to the reaper.
    ~SendWorker();
    SendWorker(SendWorker&& other) noexcept = default;
    SendWorker& operator=(SendWorker&& other) noexcept;
    SendWorker(const SendWorker&) = delete;
    SendWorker& operator=(const SendWorker&) = delete;

    explicit operator bool() const { return thread_.joinable(); }
    // True on the worker's own thread: a job may ask whether its worker is still the stream's.
    bool on_own_thread() const;

    // Queues `job`, whose payload is `bytes` long; over the bounds the oldest queued jobs go.
    void post(Job job, size_t bytes);
    // The jobs queued so far.
    Backlog backlog() const;
    // Stops the worker, discards its queue, waits for the running job and joins the thread.
    void join();

private:
    void retire();  // stop, and hand the thread to the reaper

    std::shared_ptr<SendWorkerState> core_;  // queue and state, shared with the thread
    std::thread thread_;                     // the worker thread, until joined or reaped
};

}  // namespace ostrel::loopback::events

#endif  // OSTREL_LOOPBACK_EVENTS_SEND_WORKER_H_
