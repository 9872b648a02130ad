// The exit gate between SDK threads and the interpreter.
//
// Every callback passes the gate before it asks for the GIL. When the interpreter starts to
// exit, an atexit hook closes the gate and waits, with the GIL released, until no SDK thread is
// inside or waiting for the GIL; callbacks that arrive afterwards return at once without
// touching Python. So no SDK thread asks for the GIL once finalization has begun, which on
// CPython 3.8 would end that thread with a forced unwind.
#ifndef OSTREL_CALLBACK_GATE_H_
#define OSTREL_CALLBACK_GATE_H_

namespace ostrel_binding {

// Registers the atexit hook once; called (with the GIL held) when the first cloud is made, so
// that importing the module registers nothing.
void install_exit_gate();

// RAII pass through the gate; false when the gate is closed and the callback must return.
class CallbackPass {
public:
    CallbackPass();
    ~CallbackPass();
    CallbackPass(const CallbackPass&) = delete;
    CallbackPass& operator=(const CallbackPass&) = delete;
    explicit operator bool() const { return admitted_; }

private:
    bool admitted_;
};

}  // namespace ostrel_binding

#endif  // OSTREL_CALLBACK_GATE_H_
