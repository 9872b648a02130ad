// ProcessLocal<T>: process-wide SDK state of which every process has its own.
//
// The object is created on first use and never destroyed: SDK threads may use it until the
// process ends, also while static destructors run at exit. A child made by fork() has none of
// its parent's threads, and its copy of the parent's object may be half-way through a change
// or locked by a thread that no longer exists; the fork handler therefore abandons that copy
// (forget_in_child), and the child makes a fresh object on first use.
#ifndef OSTREL_LOOPBACK_PROCESS_LOCAL_H_
#define OSTREL_LOOPBACK_PROCESS_LOCAL_H_

#include <atomic>
#include <mutex>
#include <new>

namespace ostrel {
namespace loopback {

template <typename T>
class ProcessLocal {
public:
    constexpr ProcessLocal() = default;
    ProcessLocal(const ProcessLocal&) = delete;
    ProcessLocal& operator=(const ProcessLocal&) = delete;

    // The object of this process, created on first use.
    T& get() {
        T* object = object_.load(std::memory_order_acquire);
        return object != nullptr ? *object : create();
    }

    // Only from a fork child handler, where the calling thread is the only one: the parent's
    // object is left as it is (and returned, null if there was none, for the caller to read what
    // the child keeps of it), and the next get() makes a new one.
    T* forget_in_child() {
        T* parent = object_.exchange(nullptr, std::memory_order_relaxed);
        new (&creating_) std::mutex();  // a parent thread may have held it at the fork
        return parent;
    }

private:
    T& create() {
        std::lock_guard<std::mutex> lock(creating_);
        T* object = object_.load(std::memory_order_relaxed);
        if (object == nullptr) {
            object = new T();  // never deleted; see above
            object_.store(object, std::memory_order_release);
        }
        return *object;
    }

    std::atomic<T*> object_{nullptr};  // the object of this process, once made
    std::mutex creating_;              // serialises the first use
};

}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_PROCESS_LOCAL_H_
