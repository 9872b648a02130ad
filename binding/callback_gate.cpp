#include "callback_gate.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "fork_guard.h"

namespace py = pybind11;

namespace ostrel_binding {

namespace {

// How long the exit hook waits for callbacks already running in Python.
constexpr std::chrono::seconds kExitWait{10};

class Gate {
public:
    bool enter(const void* delegate) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return false;
        auto found = find(delegate);
        if (found == inside_.end()) {
            inside_.emplace_back(delegate, 1);  // grows to the number of SDK threads, then stays
        } else {
            ++found->second;
        }
        return true;
    }

    void leave(const void* delegate) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = find(delegate);
        if (found != inside_.end() && --found->second == 0) {
            *found = inside_.back();
            inside_.pop_back();
        }
        if (inside_.empty()) drained_.notify_all();
    }

    void close_and_drain() {
        std::unique_lock<std::mutex> lock(mutex_);
        closed_ = true;
        gave_up_ = !drained_.wait_for(lock, kExitWait, [this] { return inside_.empty(); });
    }

    bool keeps(const std::shared_ptr<void>& delegate) {
        if (!delegate) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!gave_up_ || find(delegate.get()) == inside_.end()) return false;
        kept_.push_back(delegate);
        return true;
    }

private:
    std::vector<std::pair<const void*, int>>::iterator find(const void* delegate) {
        return std::find_if(inside_.begin(), inside_.end(), [delegate](const auto& e) { return e.first == delegate; });
    }

    std::mutex mutex_;
    std::condition_variable drained_;  // signalled when the last callback leaves
    std::vector<std::pair<const void*, int>> inside_;  // delegates with callbacks inside, and how many
    bool closed_ = false;   // the interpreter is exiting: no callback enters any more
    bool gave_up_ = false;  // the exit wait ended with callbacks still inside
    std::vector<std::shared_ptr<void>> kept_;  // delegates of clouds left undestroyed at exit
};

// Process-wide by nature, and never destroyed: an SDK thread that reaches the gate late in
// process exit still finds it intact. A child after fork() gets a new one and abandons the
// parent's, whose mutex a parent thread may have held at the moment of the fork.
std::atomic<Gate*>& gate_slot() {
    static std::atomic<Gate*> slot{new Gate()};
    return slot;
}

Gate& gate() { return *gate_slot().load(std::memory_order_acquire); }

bool g_installed = false;  // guarded by the GIL

thread_local const CallbackPass* t_innermost = nullptr;  // the thread's innermost callback

}  // namespace

void install_exit_gate() {
    if (g_installed) return;
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        py::gil_scoped_release nogil;
        gate().close_and_drain();
    }));
    g_installed = true;
}

bool exit_gate_keeps(const std::shared_ptr<void>& delegate) { return gate().keeps(delegate); }

void reset_exit_gate_after_fork() { gate_slot().store(new Gate(), std::memory_order_release); }

bool in_callback_of(const void* delegate) {
    for (const CallbackPass* pass = t_innermost; pass != nullptr; pass = pass->enclosing_) {
        if (pass->delegate_ == delegate) return true;
    }
    return false;
}

CallbackPass::CallbackPass(const void* delegate)
    : delegate_(delegate),
      admitted_(gate().enter(delegate)),
      from_sdk_(PyGILState_Check() == 0),
      generation_(process_generation()),
      enclosing_(t_innermost) {
    t_innermost = this;
}

CallbackPass::~CallbackPass() {
    t_innermost = enclosing_;
    if (admitted_) gate().leave(delegate_);
}

const CallbackPass* CallbackPass::current() { return t_innermost; }

}  // namespace ostrel_binding
