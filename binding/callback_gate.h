// The exit gate between SDK threads and the interpreter.
//
// Every callback passes the gate before it asks for the GIL, and leaves it only once it holds no
// Python reference any more. When the interpreter starts to exit, an atexit hook closes the gate
// and waits, with the GIL released, until no SDK thread is inside; callbacks that arrive
// afterwards return at once without touching Python. So no SDK thread asks for the GIL once
// finalization has begun, which on CPython 3.8 would end that thread with a forced unwind.
//
// The wait is bounded. A callback still inside when it ends is blocked on something only the
// exiting program could release (an event nobody sets, say): the gate gives up on it, and the
// cloud it belongs to is then never destroyed, because Destroy would wait for that callback
// forever. The gate keeps such a cloud's native delegate alive for the rest of the process, so
// the SDK instance left behind still calls a live object.
//
// Passing the gate costs two atomic operations on a process-wide count and two on a count of the
// delegate's own, and takes no lock: see callback_gate.cpp for why that is enough.
//
// Each pass also marks its thread as being inside a callback of its delegate, with the process
// generation it began in, so that a cloud's finalizer knows not to wait for a Destroy that waits
// for the calling thread, and a child forked inside a callback can be told apart.
#ifndef OSTREL_CALLBACK_GATE_H_
#define OSTREL_CALLBACK_GATE_H_

#include <atomic>
#include <memory>

namespace ostrel_binding {

// Registers the atexit hook once; called (with the GIL held) at the end of the module's
// registration, so that the hook runs after every exit handler registered once the module is
// imported (atexit runs the last registered first): those handlers may still wait for callbacks.
void install_exit_gate();

// How many callbacks of one delegate are inside the gate: each delegate owns one.
class CallbacksInside {
public:
    CallbacksInside() = default;
    CallbacksInside(const CallbacksInside&) = delete;
    CallbacksInside& operator=(const CallbacksInside&) = delete;

private:
    friend class CallbackPass;
    friend bool exit_gate_keeps(const std::shared_ptr<void>& delegate, const CallbacksInside& inside);

    std::atomic<int> count_{0};  // admitted callbacks not yet left (and, briefly, refused ones)
};

// True when the gate gave up on a callback of `delegate` (whose callbacks `inside` counts) that
// is still inside: the cloud must not be destroyed, and the gate then keeps `delegate` alive
// until the process ends. False for an empty delegate, and whenever destroying is safe.
bool exit_gate_keeps(const std::shared_ptr<void>& delegate, const CallbacksInside& inside);

// In a child after fork(): a fresh, open gate with nothing inside, whatever the parent's threads
// were doing at the moment of the fork.
void reset_exit_gate_after_fork();

// True when the calling thread is inside a callback of `delegate` (whether the gate let it in
// or not): waiting there for that delegate's cloud to be destroyed would never end.
bool in_callback_of(const void* delegate);

// RAII pass through the gate for one callback of `delegate`, whose callbacks `inside` counts;
// false when the gate is closed and the callback must return without touching Python. While it
// lives, it is the calling thread's innermost callback.
class CallbackPass {
public:
    CallbackPass(const void* delegate, CallbacksInside& inside);
    ~CallbackPass();
    CallbackPass(const CallbackPass&) = delete;
    CallbackPass& operator=(const CallbackPass&) = delete;
    explicit operator bool() const { return admitted_; }

    // The callback came from a thread that did not hold the GIL (an SDK thread), rather than
    // from a Python call of a delegate method.
    bool from_sdk() const { return from_sdk_; }
    // process_generation() when the callback began.
    unsigned generation() const { return generation_; }

private:
    friend bool in_callback_of(const void* delegate);

    const void* delegate_;           // whose callback this is
    CallbacksInside& inside_;        // the delegate's count, up for the whole pass
    bool admitted_;                  // the gate let it in (and must be told when it leaves)
    bool from_sdk_;                  // see from_sdk()
    unsigned generation_;            // see generation()
    const CallbackPass* enclosing_;  // the thread's callback that this one runs inside, if any
};

}  // namespace ostrel_binding

#endif  // OSTREL_CALLBACK_GATE_H_
