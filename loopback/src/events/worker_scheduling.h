// How the SDK's worker threads are scheduled on Linux. A worker's jobs are codec work, which is
// throughput work; the threads around it (a Python sender, the threads it hands the GIL to, an
// asyncio loop) are latency work. Two settings keep a worker out of their way without taking
// its fair share of the processor from it:
//
// - It is a batch thread (SCHED_BATCH). A worker woken by a send does not take the sender's
//   core from it at once, which the scheduler otherwise does, leaving the send to wait out the
//   worker's time slice before it returns.
// - It asks for a long time slice (kWorkerSlice). Linux 6.12 and later take a thread's own
//   slice (EEVDF), and let a thread that wakes with a shorter one, any ordinary thread, run at
//   once in place of the thread on its core. Without it, a thread woken onto a worker's core
//   (the Python thread a sender hands the GIL to, say) waits until the worker's slice runs out at
//   a scheduler tick: up to 4 ms at 250 Hz, while the GIL waits for a thread that does not run.
//   A long slice changes how long a worker runs at a stretch against other batch threads (other
//   workers, when every core is busy), not how much processor time it gets. Older kernels
//   ignore it.
//
// Either setting that the kernel refuses is left out; the thread then runs as before.
#ifndef OSTREL_LOOPBACK_EVENTS_WORKER_SCHEDULING_H_
#define OSTREL_LOOPBACK_EVENTS_WORKER_SCHEDULING_H_

#include <chrono>
#include <optional>

namespace ostrel::loopback::events {

// The time slice a worker asks for: longer than an ordinary thread's (0.7 to 2.8 ms by default,
// with the number of cores), so that ordinary threads waking beside a worker run first.
inline constexpr std::chrono::milliseconds kWorkerSlice{20};

// Makes the calling thread a worker thread as described above.
void become_worker_thread();

// The calling thread's scheduling as the kernel reports it.
struct ThreadScheduling {
    int policy = 0;                    // SCHED_OTHER, SCHED_BATCH, ...
    std::chrono::nanoseconds slice{};  // its time slice; zero where the kernel does not say
};
// Empty where the kernel does not answer.
std::optional<ThreadScheduling> current_thread_scheduling();

}  // namespace ostrel::loopback::events

#endif  // OSTREL_LOOPBACK_EVENTS_WORKER_SCHEDULING_H_
