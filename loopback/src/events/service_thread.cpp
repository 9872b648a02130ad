#include "events/service_thread.h"

#include <cxxabi.h>

#include <exception>
#include <utility>

#include "call_recorder.h"
#include "events/sdk_counters.h"
#include "logger.h"

namespace ostrel::loopback::events {

namespace {
ProcessLocal<Service> g_service;
SdkClock g_inherited_clock;  // set in a fork child: the clock its first service starts with
}  // namespace

Service& Service::get() { return g_service.get(); }

void Service::forget_in_child() {
    const Service* parent = g_service.forget_in_child();
    // Only the forking thread runs here; a parent thread that was moving the clock at the fork
    // is the only way this copy can be out of date.
    if (parent != nullptr) g_inherited_clock = parent->clock_;
}

Service::Service() : clock_(g_inherited_clock) {}

void Service::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable()) return;
    thread_started();
    thread_ = std::thread([this] { run(); });
}

void Service::post_at(Clock::time_point when, Task task) {
    start();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timers_.emplace(when, std::move(task));
    }
    wake_.notify_one();
}

void Service::post_in(Clock::duration delay, Task task) {
    start();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timers_.emplace(clock_.now(Clock::now()) + delay, std::move(task));
    }
    wake_.notify_one();
}

Service::Clock::time_point Service::now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return clock_.now(Clock::now());
}

void Service::freeze_clock() {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_.freeze(Clock::now());
}

void Service::resume_clock() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clock_.resume(Clock::now());
    }
    wake_.notify_one();  // tasks are due on real time again
}

bool Service::clock_frozen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return clock_.frozen();
}

Service::Step Service::step_to(Clock::time_point target, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!clock_.frozen()) return Step::reached;
    // Tasks a running task or a callback posts for a time already reached run in this step too.
    auto settled = [this] { return !running_task_ && (!clock_.frozen() || !due(clock_.now(Clock::now()))); };
    // What the thread has already taken (work a callback posted for the current time, say) runs
    // at the time the clock shows before the clock moves on.
    if (!settled_.wait_until(lock, deadline, settled)) return Step::timed_out;
    if (timers_.empty() || timers_.begin()->first > target) {
        clock_.move_to(target);
        return Step::reached;
    }
    clock_.move_to(timers_.begin()->first);
    wake_.notify_one();
    return settled_.wait_until(lock, deadline, settled) ? Step::ran : Step::timed_out;
}

bool Service::due_by(Clock::time_point when) {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_task_ || due(when);
}

Service::Clock::time_point Service::next_due() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timers_.empty() ? Clock::time_point::max() : timers_.begin()->first;
}

void Service::reap(std::thread thread) {
    start();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        zombies_.push_back(std::move(thread));
    }
    wake_.notify_one();
}

void Service::join_zombies(std::vector<std::thread>& zombies) {
    for (std::thread& t : zombies) {
        if (t.joinable()) {
            t.join();
            thread_joined();
        }
    }
    zombies.clear();
}

// See EventLoop::deliver about catching a forced unwind.
__attribute__((no_sanitize("null"))) void Service::run() {
    call_recorder::Mute mute;  // for the thread's whole life
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!zombies_.empty()) {
            std::vector<std::thread> zombies;
            zombies.swap(zombies_);
            lock.unlock();
            join_zombies(zombies);
            lock.lock();
            continue;
        }
        if (timers_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto first = timers_.begin();
        if (first->first > clock_.now(Clock::now())) {
            if (clock_.frozen()) {
                wake_.wait(lock);  // only step_to or a resume makes anything due
            } else {
                wake_.wait_until(lock, clock_.real_time_of(first->first));
            }
            continue;
        }
        Task task = std::move(first->second);
        timers_.erase(first);
        running_task_ = true;
        lock.unlock();
        try {
            task();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (const std::exception& e) {
            OSTREL_LOG(kError, "service task failed: %s", e.what());
        } catch (...) {
            OSTREL_LOG(kError, "service task failed: unknown exception");
        }
        task = nullptr;  // release what the task captured without the lock held
        lock.lock();
        running_task_ = false;
        settled_.notify_all();
    }
}

}  // namespace ostrel::loopback::events
