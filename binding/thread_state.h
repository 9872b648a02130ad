// The Python thread state of an SDK thread: made at the thread's first callback and kept for
// the thread's life, so that a callback only takes the GIL with it and releases it again, and
// what a callback leaves in the thread state (threading.local() data) is there for the next.
//
// The state belongs to the process generation it was made in. In a child forked on an SDK
// thread inside a callback, that state has become the child's main thread state, which CPython
// manages from then on: it is never used as a kept state again, nor deleted by us.
//
// An ending thread never waits for the GIL: whoever joins it may hold the GIL. It only puts its
// state on a list of ended states, without touching Python. The binding clears and deletes the
// listed states the next time it holds the GIL for a callback (on any thread) or right after a
// cloud's destruction, which joins threads of the SDK. Once finalization has begun they are left to the interpreter, which clears and
// deletes every state it still lists; a fork child leaves its parent's alone, as CPython has
// deleted them in the child already.
#ifndef OSTREL_THREAD_STATE_H_
#define OSTREL_THREAD_STATE_H_

#include <Python.h>

namespace ostrel_binding {

// The calling thread's kept thread state, or null when it has none made in this process. The
// thread must not hold the GIL.
PyThreadState* kept_thread_state();

// Whether the calling thread holds the GIL, as PyGILState_Check() says. For a thread with a kept
// state, which is also the thread's own state for PyGILState, that is whether the kept state is
// the current one: no look-up of the thread's PyGILState key on every callback.
bool holds_gil();

// Makes and keeps a thread state for the calling thread, which has no thread state of the
// interpreter at all, and returns it; the caller then takes the GIL with it.
PyThreadState* keep_new_thread_state();

// Clears and deletes the states of the SDK threads that have ended since the last call (their
// threading.local() data goes with them, finalizers included). Called with the GIL held; costs
// one atomic load when no thread has ended. The caller's error indicator is left as it was.
void release_ended_thread_states();

// The same for a thread that holds no GIL but has a thread state (a cloud's destructor, which
// runs with the GIL released): takes the GIL only when there is something to release.
void release_ended_thread_states_taking_gil();

}  // namespace ostrel_binding

#endif  // OSTREL_THREAD_STATE_H_
