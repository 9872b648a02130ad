#include "callback_gate.h"

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace py = pybind11;

namespace ostrel_binding {

namespace {

// How long the exit hook waits for callbacks already running in Python. One that is still
// inside after this is blocked on something only the exiting program could release; the
// interpreter then ends that thread as it finalizes, and the SDK lets the thread unwind.
constexpr std::chrono::seconds kExitWait{10};

class Gate {
public:
    bool enter() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return false;
        ++inside_;
        return true;
    }

    void leave() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--inside_ == 0) drained_.notify_all();
    }

    void close_and_drain() {
        std::unique_lock<std::mutex> lock(mutex_);
        closed_ = true;
        drained_.wait_for(lock, kExitWait, [this] { return inside_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable drained_;
    int inside_ = 0;
    bool closed_ = false;
};

// Process-wide by nature: it outlives every cloud and is never destroyed, so an SDK thread
// that reaches it late in process exit still finds it intact.
Gate& gate() {
    static Gate* g = new Gate();
    return *g;
}

bool g_installed = false;  // guarded by the GIL

}  // namespace

void install_exit_gate() {
    if (g_installed) return;
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        py::gil_scoped_release nogil;
        gate().close_and_drain();
    }));
    g_installed = true;
}

CallbackPass::CallbackPass() : admitted_(gate().enter()) {}

CallbackPass::~CallbackPass() {
    if (admitted_) gate().leave();
}

}  // namespace ostrel_binding
