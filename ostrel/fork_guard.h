// Clouds across fork(): an SDK instance belongs to the process that created it. A child has none
// of its parent's SDK threads, and its copy of the parent's SDK state may hold locks that nobody
// will release, so a cloud inherited through fork() must never call into the SDK in the child.
//
// Each process counts the forks it descends from: a pthread_atfork child handler moves the count
// on (and gives the child a fresh exit gate), so a cloud tells that it is inherited by comparing
// the count it was made under with the current one, one atomic load per call.
#ifndef OSTREL_FORK_GUARD_H_
#define OSTREL_FORK_GUARD_H_

namespace ostrel_binding {

// Registers the fork handler once; called (with the GIL held) when the first cloud is made.
void install_fork_guard();

// Which process this is, as the number of forks it descends from since the handler was
// registered.
unsigned process_generation();

// The text of the RuntimeError raised by a cloud used in a child of the process that made it.
extern const char kForeignCloud[];

}  // namespace ostrel_binding

#endif  // OSTREL_FORK_GUARD_H_
