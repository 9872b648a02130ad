// The Python thread state of an SDK thread: made at the thread's first callback and kept for
// the thread's life, so that a callback only takes the GIL with it and releases it again, and
// what a callback leaves in the thread state (threading.local() data) is there for the next.
//
// The state belongs to the process generation it was made in. In a child forked on an SDK
// thread inside a callback, that state has become the child's main thread state, which CPython
// manages from then on: it is never used as a kept state again, nor deleted by us.
//
// When the thread ends, its state is cleared and deleted under the GIL, after passing the exit
// gate; when the gate is closed or the interpreter is finalizing or gone, Python is not touched
// and the state is left to the end of the process.
#ifndef OSTREL_THREAD_STATE_H_
#define OSTREL_THREAD_STATE_H_

#include <Python.h>

namespace ostrel_binding {

// The calling thread's kept thread state, or null when it has none made in this process. The
// thread must not hold the GIL.
PyThreadState* kept_thread_state();

// Makes and keeps a thread state for the calling thread, which has no thread state of the
// interpreter at all, and returns it; the caller then takes the GIL with it.
PyThreadState* keep_new_thread_state();

}  // namespace ostrel_binding

#endif  // OSTREL_THREAD_STATE_H_
