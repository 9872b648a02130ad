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
}  // namespace

Service& Service::get() { return g_service.get(); }

void Service::forget_in_child() { g_service.forget_in_child(); }

Service::Service() {
    thread_started();
    thread_ = std::thread([this] { run(); });
}

void Service::post_at(Clock::time_point when, Task task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timers_.emplace(when, std::move(task));
    }
    wake_.notify_one();
}

void Service::reap(std::thread thread) {
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
        if (first->first > Clock::now()) {
            wake_.wait_until(lock, first->first);
            continue;
        }
        Task task = std::move(first->second);
        timers_.erase(first);
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
    }
}

}  // namespace ostrel::loopback::events
