// Clouds across fork(): an SDK instance belongs to the process that created it. A child has none
// of its parent's SDK threads, and its copy of the parent's SDK state may hold locks that nobody
// will release, so a cloud inherited through fork() must never call into the SDK in the child.
//
// Each process counts the forks it descends from: a pthread_atfork child handler moves the count
// on (and gives the child a fresh exit gate), so a cloud tells that it is inherited by comparing
// the count it was made under with the current one, one atomic load per call.
//
// An SDK thread entering Python makes itself a thread state, and CPython does that under a lock
// of its own without the GIL. A fork() at that moment copies the lock held into the child, where
// CPython 3.8, re-initialising itself after the fork, waits for it forever. SDK threads therefore
// make and delete their thread states under a lock of ours, which the fork handler takes before
// the fork.
//
// A fork() inside a callback copies the SDK thread that runs it: the child goes on in Python on
// that copy, but the SDK code it would return to has no SDK behind it and would wait forever.
// So when such a callback ends in the child (it returns, or an exception leaves it, SystemExit
// included), the child ends there: Python's standard streams are flushed, one line on standard
// error says what happened, and the process exits with the status that Python would give it.
#ifndef OSTREL_FORK_GUARD_H_
#define OSTREL_FORK_GUARD_H_

#include <pybind11/pybind11.h>

namespace ostrel_binding {

// Registers the fork handler once; called (with the GIL held) when the first cloud is made.
void install_fork_guard();

// Which process this is, as the number of forks it descends from since the handler was
// registered.
unsigned process_generation();

// A new thread state of the main interpreter for the calling thread, which has none, made so
// that no fork() can copy CPython's lock while it is held. The caller then takes the GIL with it.
PyThreadState* new_thread_state();

// Deletes `state`, a cleared thread state that is no thread's current one, under the same lock.
// The caller holds the GIL.
void delete_thread_state(PyThreadState* state);

// The text of the RuntimeError raised by a cloud used in a child of the process that made it.
extern const char kForeignCloud[];

class CallbackPass;

// Called with the GIL held when `pass`, the calling thread's innermost callback, is leaving
// Python, with the Python error leaving it, if any. Returns at once, unless this process is a
// child forked inside that callback on an SDK thread: then it ends the process, with status 0 after a
// return, 1 after an uncaught exception (its traceback printed) and the code of a SystemExit as
// Python reads it.
void end_forked_child(const CallbackPass& pass, pybind11::error_already_set* error);

}  // namespace ostrel_binding

#endif  // OSTREL_FORK_GUARD_H_
