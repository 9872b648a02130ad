// The SDK's service thread: timed work (paced audio, network-quality reports, simulated
// reconnects) and the reaper that joins event threads whose instance was destroyed from inside
// one of its own callbacks. It never calls a delegate, and calls made on it are SDK-internal:
// the call recorder is muted on this thread.
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

#include "process_local.h"

namespace ostrel::loopback::events {

class Service {
public:
    using Clock = std::chrono::steady_clock;
    using Task = std::function<void()>;

    // The service thread of this process, started on first use and never stopped: it runs
    // until the process ends (a forked child starts one of its own; see ProcessLocal).
    static Service& get();
    static void forget_in_child();

    // Runs `task` on the service thread at `when` (tasks due at the same time run in the
    // order they were posted).
    void post_at(Clock::time_point when, Task task);

    // Joins `thread` on the service thread.
    void reap(std::thread thread);

    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

private:
    friend class ProcessLocal<Service>;
    Service();
    void run();
    void join_zombies(std::vector<std::thread>& zombies);

    std::mutex mutex_;                               // guards timers_ and zombies_
    std::condition_variable wake_;                   // the thread waits here for work
    std::multimap<Clock::time_point, Task> timers_;  // tasks by due time
    std::vector<std::thread> zombies_;               // threads waiting to be joined
    std::thread thread_;                             // the service thread, never joined
};

}  // namespace ostrel::loopback::events

#endif  // OSTREL_LOOPBACK_EVENTS_SERVICE_THREAD_H_
