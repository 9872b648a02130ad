// The SDK's service thread: timed work (paced audio, network-quality reports, simulated
// reconnects, delayed media) and the reaper that joins event threads whose instance was
// destroyed from inside one of its own callbacks. It never calls a delegate and never waits for
// one, and calls made on it are SDK-internal: the call recorder is muted on this thread.
//
// Timed work is due on the SDK clock (sdk_clock.h), which the service owns. While the clock is
// frozen nothing falls due by itself: step_to moves the clock to the next due time and waits
// until the thread has run what is due, which is how a test advances time one step at a time.
//
// Its mutex is a leaf lock: nothing else is locked while it is held (tasks run and threads are
// joined without it), so a task may take the engine's lock, and engine code holding that lock
// may post tasks. It is never held together with an event loop's mutex.
#ifndef OSTREL_LOOPBACK_EVENTS_SERVICE_THREAD_H_
#define OSTREL_LOOPBACK_EVENTS_SERVICE_THREAD_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "events/sdk_clock.h"
#include "process_local.h"

namespace ostrel::loopback::events {

class Service {
public:
    using Clock = SdkClock::Real;  // the real clock, which the SDK clock follows while it runs
    using Task = std::function<void()>;

    // The service thread of this process, started on first use and never stopped: it runs
    // until the process ends (a forked child starts one of its own; see ProcessLocal).
    static Service& get();
    // In a fork child: a new service, without tasks or thread, whose clock stands where the
    // parent's stood (frozen or running).
    static void forget_in_child();

    // Starts the thread (the first instance does); the object alone runs nothing.
    void start();

    // Runs `task` on the service thread at SDK time `when` (tasks due at the same time run in
    // the order they were posted).
    void post_at(Clock::time_point when, Task task);
    // Runs `task` `delay` from now on the SDK clock.
    void post_in(Clock::duration delay, Task task);

    // The SDK clock.
    Clock::time_point now();
    void freeze_clock();
    void resume_clock();
    bool clock_frozen();

    // How one step of a frozen clock ended.
    enum class Step {
        ran,        // tasks were due by the target and have run
        reached,    // nothing is due by the target; the clock shows the target
        timed_out,  // the tasks did not finish by the deadline
    };
    // With the clock frozen: first lets the thread finish what is due at the current time (a
    // task it has already taken included), then moves the clock to the earliest due time, if
    // that is no later than `target`, and waits (until the real `deadline` at most) for the
    // tasks due then to have run; else moves it to `target`. A running clock is left alone
    // (reached).
    Step step_to(Clock::time_point target, Clock::time_point deadline);
    // True when a task is due by SDK time `when`, or one is running.
    bool due_by(Clock::time_point when);
    // The SDK time the earliest task is due at, or Clock::time_point::max() when none is waiting.
    Clock::time_point next_due();

    // Joins `thread` on the service thread.
    void reap(std::thread thread);

    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

private:
    friend class ProcessLocal<Service>;
    Service();
    void run();
    void join_zombies(std::vector<std::thread>& zombies);

    bool due(Clock::time_point now) const { return !timers_.empty() && timers_.begin()->first <= now; }

    std::mutex mutex_;                               // guards every member but thread_'s handle
    std::condition_variable wake_;                   // the thread waits here for work
    std::condition_variable settled_;                // step_to waits here for due tasks to have run
    std::multimap<Clock::time_point, Task> timers_;  // tasks by due time on the SDK clock
    std::vector<std::thread> zombies_;               // threads waiting to be joined
    SdkClock clock_;                                 // the SDK clock
    bool running_task_ = false;                      // a task has been taken and has not returned
    std::thread thread_;                             // the service thread once started, never joined
};

}  // namespace ostrel::loopback::events

#endif  // OSTREL_LOOPBACK_EVENTS_SERVICE_THREAD_H_
