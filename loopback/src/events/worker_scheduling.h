// How the SDK's worker threads are scheduled on Linux. A worker's jobs are codec work, which is
// throughput work; the threads around it (a Python sender, the threads it hands the GIL to, an
// asyncio loop) are latency work. Three things keep a worker out of their way without taking
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
// - Before a long job (its last one took kLongJob or more), it gives way to the thread that
//   posted the job if that thread waits for the worker's processor (give_way_to). The
//   scheduler mostly queues a worker that a send wakes on the sender's processor. When the
//   sender is then switched out (for the thread it hands the GIL to, say), the scheduler may run
//   the worker next: the sender has just run, so it is not due. The sender then waits, often
//   holding the GIL, until a scheduler tick, even with another processor idle, since the kernel
//   does not move a thread that has just run. A worker that pauses a moment lets the sender run
//   on, and wakes on an idle processor if there is one. It costs the worker a read of the
//   sender's state (/proc) before each long job.
//
// Any of these that the kernel refuses or does not report is left out; the thread then runs as
// an ordinary one. A worker keeps an ordinary thread's weight (nice value): a lower one spares
// the threads around it some waits for a processor but starves the encoder on a loaded machine,
// and an unprivileged process cannot raise it again.
#ifndef OSTREL_LOOPBACK_EVENTS_WORKER_SCHEDULING_H_
#define OSTREL_LOOPBACK_EVENTS_WORKER_SCHEDULING_H_

#include <sys/types.h>

#include <chrono>
#include <optional>

namespace ostrel::loopback::events {

// The time slice a worker asks for: longer than an ordinary thread's (0.7 to 2.8 ms by default,
// with the number of cores), so that ordinary threads waking beside a worker run first.
inline constexpr std::chrono::milliseconds kWorkerSlice{20};

// Makes the calling thread a worker thread as described above.
void become_worker_thread();

// A job this long or longer keeps a thread queued behind it waiting about an ordinary time
// slice or more: a worker whose last job took as long gives way before the next.
inline constexpr std::chrono::milliseconds kLongJob{1};
// How long a worker that gives way pauses, and how many times at most before a job.
inline constexpr std::chrono::microseconds kGiveWayPause{200};
inline constexpr int kGiveWayPauses = 20;

// The kernel's id of the calling thread (what give_way_to() takes).
pid_t current_thread_id();

// True while thread `tid` of this process is ready to run on the calling thread's processor
// but does not run: it waits for the processor the caller holds. False where Linux does not say.
bool waits_for_this_processor(pid_t tid);

// Pauses the calling thread for kGiveWayPause while thread `tid` waits for its processor, at
// most kGiveWayPauses times.
void give_way_to(pid_t tid);

// The calling thread's scheduling as the kernel reports it.
struct ThreadScheduling {
    int policy = 0;                    // SCHED_OTHER, SCHED_BATCH, ...
    std::chrono::nanoseconds slice{};  // its time slice; zero where the kernel does not say
};
// Empty where the kernel does not answer.
std::optional<ThreadScheduling> current_thread_scheduling();

}  // namespace ostrel::loopback::events

#endif  // OSTREL_LOOPBACK_EVENTS_WORKER_SCHEDULING_H_
