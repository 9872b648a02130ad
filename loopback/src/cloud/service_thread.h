// The SDK's service thread: timed work (paced audio, network-quality reports, simulated
// reconnects) and the reaper that joins event threads whose instance was destroyed from inside
// one of its own callbacks. It never calls a delegate.
#ifndef OSTREL_LOOPBACK_CLOUD_SERVICE_THREAD_H_
#define OSTREL_LOOPBACK_CLOUD_SERVICE_THREAD_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel {
namespace loopback {
namespace cloud {

class Service {
public:
    using Clock = std::chrono::steady_clock;
    using Task = std::function<void()>;

    // The process-wide service thread, started on first use and joined at process exit.
    static Service& get();

    // Runs `task` on the service thread at `when` (tasks due at the same time run in the
    // order they were posted).
    void post_at(Clock::time_point when, Task task);
    void post(Task task) { post_at(Clock::now(), std::move(task)); }

    // Joins `thread` on the service thread.
    void reap(std::thread thread);

    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

private:
    Service();
    void run();
    void join_zombies(std::vector<std::thread>& zombies);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<Clock::time_point, Task> timers_;
    std::vector<std::thread> zombies_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace cloud
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_CLOUD_SERVICE_THREAD_H_
