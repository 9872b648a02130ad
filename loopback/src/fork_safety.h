// fork() and the loopback SDK. A child starts with an SDK of its own: no rooms, members, queues
// or threads of the parent's, and no lock held. Settings, the log and the call recorder carry
// over, since they describe the program rather than its connections.
//
// Handlers registered with pthread_atfork when the library is loaded do this: before the fork
// they take the locks of the state that carries over (settings, then recorder, then log: each
// a leaf lock, so the order cannot deadlock), so that no other thread is half-way through
// changing it; both processes release them afterwards. The child then abandons the parent's
// rooms, service thread and event accounting (see ProcessLocal), and instances inherited from
// the parent refuse every operation.
#ifndef OSTREL_LOOPBACK_FORK_SAFETY_H_
#define OSTREL_LOOPBACK_FORK_SAFETY_H_

#include <cstdint>

namespace ostrel {
namespace loopback {
namespace fork_safety {

// Which process this is, as the number of forks it descends from: an instance made under
// another value belongs to an ancestor.
uint64_t process_generation();

}  // namespace fork_safety
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_FORK_SAFETY_H_
