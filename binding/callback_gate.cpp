// How the gate works without a lock on the callback path.
//
// The gate is a count of passes inside and a closed flag, both atomics used with sequentially
// consistent ordering, so that all their loads and stores fall into one total order:
//
//   enter:  inside += 1; if closed: inside -= 1, refused
//   close:  closed = true; wait until inside == 0 (at most kExitWait)
//
// This is Dekker's pattern. Take any pass and the closer's store. If the pass's increment comes
// first in the total order, the closer's later loads of the count see it until the pass leaves,
// so the closer waits for it. If the store comes first, the pass's load of the flag, later than
// its increment and so later than the store, sees it closed, and the pass is refused without
// having touched Python. No pass can slip in between: a pass is admitted only when its check
// came before the store, and then so did its increment. A refused pass has raised the count for
// a moment; the closer may see that and wait a little longer, never shorter.
//
// The closer sleeps on a condition variable. Only a pass that takes the count to zero after the
// gate closed notifies it, under the mutex that the closer checks the count under, so the mutex
// is taken at exit only. A wakeup cannot be lost: a leaver that does not see the gate closed
// took the count to zero before the store, so the closer's first check sees zero; one that does
// see it closed notifies under the mutex, before the closer's check or while it waits.
//
// Which delegates have callbacks still inside once the closer gave up is known from a count per
// delegate, raised before the pass enters the gate and lowered as it leaves. After the gate
// closed, no pass is admitted any more, so a delegate's count can only fall apart from the
// moment a refused pass holds it up: once a finalizer reads zero, no callback of that delegate
// is inside nor will be, and destroying its cloud is safe; a non-zero reading errs on the side
// of keeping the cloud alive. Those counts are shared only by the threads of one cloud.
//
// Which callbacks the calling thread is inside is a thread_local chain of its passes, which
// nobody else reads.
#include "callback_gate.h"

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "fork_guard.h"
#include "thread_state.h"

namespace py = pybind11;

namespace ostrel_binding {

namespace {

// How long the exit hook waits for callbacks already running in Python.
constexpr std::chrono::seconds kExitWait{10};

class Gate {
public:
    bool enter() {
        inside_.fetch_add(1);
        if (!closed_.load()) return true;
        leave();
        return false;
    }

    void leave() {
        if (inside_.fetch_sub(1) != 1 || !closed_.load()) return;
        std::lock_guard<std::mutex> lock(mutex_);
        drained_.notify_all();
    }

    void close_and_drain() {
        closed_.store(true);
        std::unique_lock<std::mutex> lock(mutex_);
        const bool drained = drained_.wait_for(lock, kExitWait, [this] { return inside_.load() == 0; });
        gave_up_.store(!drained);
    }

    bool keeps(const std::shared_ptr<void>& delegate, int inside) {
        if (!delegate || !gave_up_.load() || inside == 0) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        kept_.push_back(delegate);
        return true;
    }

private:
    std::atomic<long> inside_{0};              // passes admitted and not yet left, and refused ones briefly
    std::atomic<bool> closed_{false};          // the interpreter is exiting: no pass is admitted any more
    std::atomic<bool> gave_up_{false};         // the exit wait ended with passes still inside
    std::mutex mutex_;                         // taken only once closed: guards the wait and kept_
    std::condition_variable drained_;          // signalled when the last pass leaves a closed gate
    std::vector<std::shared_ptr<void>> kept_;  // delegates of clouds left undestroyed at exit
};

// Process-wide by nature, and never destroyed: an SDK thread that reaches the gate late in
// process exit still finds it intact. A child after fork() gets a new one and abandons the
// parent's, whose count the parent's threads had raised and whose mutex one may have held.
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

bool exit_gate_keeps(const std::shared_ptr<void>& delegate, const CallbacksInside& inside) {
    return gate().keeps(delegate, inside.count_.load());
}

void reset_exit_gate_after_fork() { gate_slot().store(new Gate(), std::memory_order_release); }

bool in_callback_of(const void* delegate) {
    for (const CallbackPass* pass = t_innermost; pass != nullptr; pass = pass->enclosing_) {
        if (pass->delegate_ == delegate) return true;
    }
    return false;
}

CallbackPass::CallbackPass(const void* delegate, CallbacksInside& inside)
    : delegate_(delegate),
      inside_((inside.count_.fetch_add(1), inside)),  // raised before the gate is entered
      admitted_(gate().enter()),
      from_sdk_(!holds_gil()),
      generation_(process_generation()),
      enclosing_(t_innermost) {
    t_innermost = this;
}

CallbackPass::~CallbackPass() {
    t_innermost = enclosing_;
    if (admitted_) gate().leave();
    inside_.count_.fetch_sub(1);  // lowered once the gate is left
}

}  // namespace ostrel_binding
