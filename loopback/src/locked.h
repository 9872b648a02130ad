// locked(state, f): runs `f` on a piece of process-wide state while holding that state's own
// mutex (its member `mutex`), and returns what `f` returns. The SDK's small stores (settings,
// the call recorder) read and change their state only through it, so no access forgets the lock.
#ifndef OSTREL_LOOPBACK_LOCKED_H_
#define OSTREL_LOOPBACK_LOCKED_H_

#include <mutex>
#include <utility>

namespace ostrel {
namespace loopback {

template <typename State, typename F>
auto locked(State& state, F&& f) -> decltype(std::forward<F>(f)(state)) {
    std::lock_guard<std::mutex> lock(state.mutex);
    return std::forward<F>(f)(state);
}

}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_LOCKED_H_
