// A thread_local record holds the kept state with the process generation it was made in; its
// destructor, run as the thread ends, hands the state over to the list of ended states.
//
// The state is made with PyThreadState_New (under the fork guard's lock, see fork_guard.h),
// which also registers it as the thread's PyGILState state: PyGILState_Check() and
// PyGILState_GetThisThreadState() see it, so code on the thread that uses those (a Python call
// of PyGILState_Ensure, say) finds the same state rather than making a second one. The
// PyGILState count the registration gives it is never released, so no PyGILState_Release on the
// thread deletes it under us. That registration is a value of a thread-specific key with no
// destructor: it goes with the thread, and PyThreadState_Delete on another thread only drops
// the deleting thread's own registration, which is never an ended thread's state.
//
// The list of ended states is a lock-free stack: an ending thread pushes, the releaser takes the
// whole stack at once, so there is no lock a fork could copy held and no ABA problem. Each entry
// carries its generation; a fork child drops the entries its parent left (those states were
// deleted by CPython's own after-fork handling, which keeps the forking thread's state only)
// without touching them.
#include "thread_state.h"

#include <atomic>
#include <memory>
#include <new>

#include "fork_guard.h"
#include "internals.h"

namespace ostrel_binding {

namespace {

// A state whose thread has ended, waiting for the GIL to be released.
struct EndedThreadState {
    PyThreadState* state;    // no thread's current state any more
    unsigned generation;     // process_generation() when it was made
    EndedThreadState* next;  // the entry pushed before this one
};

std::atomic<EndedThreadState*> g_ended{nullptr};  // the stack of ended states, newest first

class KeptState {
public:
    KeptState() = default;
    KeptState(const KeptState&) = delete;
    KeptState& operator=(const KeptState&) = delete;

    // The thread is ending: without touching Python, its state goes to the list of ended
    // states, when it is this process's. (Without memory for the entry, it stays with the
    // interpreter, which deletes it at exit.)
    ~KeptState() {
        if (state_ == nullptr || generation_ != process_generation()) return;
        auto* entry = new (std::nothrow) EndedThreadState{state_, generation_, g_ended.load(std::memory_order_relaxed)};
        if (entry == nullptr) return;
        while (
            !g_ended.compare_exchange_weak(entry->next, entry, std::memory_order_release, std::memory_order_relaxed)) {
        }
    }

    PyThreadState* get() const { return generation_ == process_generation() ? state_ : nullptr; }

    void keep(PyThreadState* state) {
        state_ = state;
        generation_ = process_generation();
    }

private:
    PyThreadState* state_ = nullptr;  // the kept state, null until the first callback
    unsigned generation_ = 0;         // process_generation() when it was made
};

thread_local KeptState t_kept;  // the calling thread's kept state

}  // namespace

PyThreadState* kept_thread_state() { return t_kept.get(); }

bool holds_gil() {
    if (PyThreadState* kept = t_kept.get()) return internals::current_thread_state() == kept;
    return PyGILState_Check() != 0;
}

PyThreadState* keep_new_thread_state() {
    PyThreadState* state = new_thread_state();
    t_kept.keep(state);
    return state;
}

void release_ended_thread_states() {
    if (g_ended.load(std::memory_order_relaxed) == nullptr) return;
    if (!Py_IsInitialized() || internals::finalizing()) return;  // the interpreter deletes them itself
    // Taken off before any is cleared: finalizers that run meanwhile may come back here.
    EndedThreadState* entry = g_ended.exchange(nullptr, std::memory_order_acquire);
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    while (entry != nullptr) {
        std::unique_ptr<EndedThreadState> taken(entry);
        entry = entry->next;
        // Read per entry: a finalizer may fork, and the child must leave the rest alone.
        if (taken->generation != process_generation()) continue;
        PyThreadState_Clear(taken->state);  // runs the finalizers of the thread's threading.local data
        delete_thread_state(taken->state);
    }
    PyErr_Restore(type, value, traceback);
}

void release_ended_thread_states_taking_gil() {
    if (g_ended.load(std::memory_order_relaxed) == nullptr || internals::finalizing()) return;
    const PyGILState_STATE gil = PyGILState_Ensure();
    release_ended_thread_states();
    PyGILState_Release(gil);
}

}  // namespace ostrel_binding
