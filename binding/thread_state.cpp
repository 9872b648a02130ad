// A thread_local record holds the kept state with the process generation it was made in; its
// destructor, run as the thread ends, gives the state back.
//
// The state is made with PyThreadState_New (under the fork guard's lock, see fork_guard.h),
// which also registers it as the thread's PyGILState state: PyGILState_Check() and
// PyGILState_GetThisThreadState() see it, so code on the thread that uses those (a Python call
// of PyGILState_Ensure, say) finds the same state rather than making a second one. The
// PyGILState count the registration gives it is never released, so no PyGILState_Release on the
// thread deletes it under us; deleting it ourselves (PyThreadState_DeleteCurrent) also removes
// the registration.
#include "thread_state.h"

#include "callback_gate.h"
#include "fork_guard.h"

namespace ostrel_binding {

namespace {

class KeptState {
public:
    KeptState() = default;
    KeptState(const KeptState&) = delete;
    KeptState& operator=(const KeptState&) = delete;

    // The thread is ending. Its state is given back only when the gate lets it in, which holds
    // finalization off until it leaves, and only when it is this process's; otherwise (exit has
    // begun, or a fork child) it is left alone.
    ~KeptState() {
        if (state_ == nullptr || generation_ != process_generation()) return;
        GatePass pass;
        if (!pass || !Py_IsInitialized() || _Py_IsFinalizing()) return;
        PyEval_RestoreThread(state_);
        PyThreadState_Clear(state_);  // runs the finalizers of the thread's threading.local data
        PyThreadState_DeleteCurrent();  // and releases the GIL
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

PyThreadState* keep_new_thread_state() {
    PyThreadState* state = new_thread_state();
    t_kept.keep(state);
    return state;
}

}  // namespace ostrel_binding
