// The record of the Python errors that callbacks report on standard error (the events of policy
// kReportedOnStandardError: OnNetworkQuality, OnReceiveCustomCmdMsg, OnSeiMessageReceived). Such
// an error never reaches the SDK, so the SDK cannot list it among the exceptions that escaped its
// callbacks; the record keeps the reported texts instead, for a test to collect them.
//
// The GIL is the record's lock: it is touched only by a callback inside its stay in Python and by
// ostrel_binding_take_reported_errors, which Python calls through ctypes.PyDLL (so with the GIL
// held), and by nothing else. That also makes fork() and exit safe without more: a fork happens
// with the GIL held by the forking thread, so no other thread is inside the record and the child
// gets a consistent copy, with no lock of ours left held; and once the interpreter is finalizing
// no SDK thread takes the GIL again (callback_gate.h), so no thread touches the record while the
// process ends. The record is never destroyed, so not even a thread the exit gate gave up on can
// meet a destroyed one.
#ifndef OSTREL_REPORTED_ERRORS_H_
#define OSTREL_REPORTED_ERRORS_H_

#include <Python.h>

#include <cstdint>
#include <string>

namespace ostrel_binding {

// The record keeps the newest texts, this many.
constexpr size_t kMaxReportedErrorsKept = 1000;

// What a callback notes when it starts, with the GIL held: a later take that disowns the callbacks
// running then leaves this one's report out of the record.
uint64_t reported_errors_epoch();

// Keeps `text` (what was written to standard error, naming the callback) unless the callback,
// which started in `epoch`, has been disowned since. The GIL is held.
void keep_reported_error(uint64_t epoch, std::string text);

}  // namespace ostrel_binding

extern "C" {

// A new list of the texts kept, oldest first, as str; the record is then empty. When
// `disown_running` is non-zero the callbacks running now are disowned: errors they report later
// are written to standard error as always, but not kept. Called with the GIL held; null with a
// Python error set when the list cannot be made.
__attribute__((visibility("default"))) PyObject* ostrel_binding_take_reported_errors(int disown_running);

}  // extern "C"

#endif  // OSTREL_REPORTED_ERRORS_H_
