// How a worker tells that the thread that posted its job waits for the worker's processor: a
// thread kept to the caller's one processor and busy is seen waiting for it; a sleeping thread,
// the caller itself and a thread that does not exist are not; and giving way to a thread that
// keeps waiting ends.
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "events/worker_scheduling.h"

namespace {

namespace events = ostrel::loopback::events;

// Keeps the calling thread, and the threads it starts, to the processor it is on, while it lives.
class OnOneProcessor {
public:
    OnOneProcessor() {
        if (sched_getaffinity(0, sizeof before_, &before_) != 0) return;
        const int here = sched_getcpu();
        if (here < 0) return;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(here, &one);
        kept_ = sched_setaffinity(0, sizeof one, &one) == 0;
    }
    ~OnOneProcessor() {
        if (kept_) sched_setaffinity(0, sizeof before_, &before_);
    }
    OnOneProcessor(const OnOneProcessor&) = delete;
    OnOneProcessor& operator=(const OnOneProcessor&) = delete;

    bool kept() const { return kept_; }

private:
    cpu_set_t before_{};  // the thread's processors before
    bool kept_ = false;   // before_ is to be restored
};

// A thread that spins until told to sleep, then sleeps until told to end.
class Spinner {
public:
    Spinner() : thread_([this] { run(); }) {
        while (tid_.load() == 0) std::this_thread::yield();
    }
    ~Spinner() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            phase_ = kEnd;
        }
        wake_.notify_all();
        thread_.join();
    }
    Spinner(const Spinner&) = delete;
    Spinner& operator=(const Spinner&) = delete;

    pid_t tid() const { return tid_; }
    // Returns once the thread sleeps.
    void sleep() {
        std::unique_lock<std::mutex> lock(mutex_);
        phase_ = kSleep;
        wake_.wait(lock, [this] { return asleep_; });
    }

private:
    enum Phase { kSpin, kSleep, kEnd };

    void run() {
        tid_ = events::current_thread_id();
        while (phase_.load() == kSpin) {
        }
        std::unique_lock<std::mutex> lock(mutex_);
        asleep_ = true;
        wake_.notify_all();
        wake_.wait(lock, [this] { return phase_ == kEnd; });
    }

    std::atomic<pid_t> tid_{0};          // the thread's kernel id, once it runs
    std::atomic<Phase> phase_{kSpin};    // what the thread is told to do
    std::mutex mutex_;                   // guards asleep_, and phase_'s changes
    std::condition_variable wake_;       // both sides wait here
    bool asleep_ = false;                // the thread has stopped spinning
    std::thread thread_;                 // the thread, started last
};

TEST(WorkerScheduling, AThreadIsSeenWaitingForTheCallersProcessorOnlyWhileItDoes) {
    OnOneProcessor pinned;
    if (!pinned.kept()) GTEST_SKIP() << "the thread's processors cannot be set here";
    Spinner spinner;
    // The spinner shares the caller's one processor: while the caller runs, it waits.
    EXPECT_TRUE(events::waits_for_this_processor(spinner.tid()));
    events::give_way_to(spinner.tid());  // ends, however long the spinner keeps waiting
    spinner.sleep();
    // It is ready to run until it has blocked, which the caller's own pauses let it do.
    bool waiting = true;
    for (int pause = 0; pause < 1000 && waiting; ++pause) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        waiting = events::waits_for_this_processor(spinner.tid());
    }
    EXPECT_FALSE(waiting);
    EXPECT_FALSE(events::waits_for_this_processor(events::current_thread_id()));
    EXPECT_FALSE(events::waits_for_this_processor(-1));
}

}  // namespace
