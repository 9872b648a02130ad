#include "fork_guard.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <mutex>

#include "callback_gate.h"

namespace ostrel_binding {

namespace {

std::atomic<unsigned> g_generation{0};  // process-wide: moved on only in a new child
std::mutex g_thread_states;             // held while a thread state of ours is made or deleted
bool g_fork_guard_installed = false;    // guarded by the GIL

void before_fork() { g_thread_states.lock(); }

void in_parent() { g_thread_states.unlock(); }

void in_child() {
    g_thread_states.unlock();  // taken by the forking thread, of which this is the copy
    g_generation.fetch_add(1, std::memory_order_relaxed);
    reset_exit_gate_after_fork();
}

// The status that Python's own exit would give a program that `error` leaves (0 for none), with
// the output that goes with it: a traceback, or a SystemExit code that is not an integer.
int exit_status(pybind11::error_already_set* error) {
    namespace py = pybind11;
    if (error == nullptr) return 0;
    if (!error->matches(PyExc_SystemExit)) {
        error->restore();
        PyErr_Print();
        return 1;
    }
    py::object code = py::getattr(error->value(), "code", py::none());
    if (code.is_none()) return 0;
    if (PyLong_Check(code.ptr())) {
        const long status = PyLong_AsLong(code.ptr());
        if (status != -1 || PyErr_Occurred() == nullptr) return static_cast<int>(status);
        PyErr_Clear();
    }
    PyObject* stream = PySys_GetObject("stderr");  // borrowed
    if (stream == nullptr || stream == Py_None || PyFile_WriteObject(code.ptr(), stream, Py_PRINT_RAW) != 0 ||
        PyFile_WriteString("\n", stream) != 0) {
        PyErr_Clear();
    }
    return 1;
}

// Flushes sys.stdout and sys.stderr, ignoring a stream that is gone or fails.
void flush_python_streams() {
    for (const char* name : {"stdout", "stderr"}) {
        PyObject* stream = PySys_GetObject(name);  // borrowed
        if (stream == nullptr || stream == Py_None) continue;
        PyObject* result = PyObject_CallMethod(stream, "flush", nullptr);
        if (result == nullptr) PyErr_Clear();
        Py_XDECREF(result);
    }
}

}  // namespace

void end_forked_child(const CallbackPass& pass, pybind11::error_already_set* error) {
    if (!pass.from_sdk() || pass.generation() == process_generation()) return;
    flush_python_streams();  // what the callback wrote comes before what follows
    const int status = exit_status(error);
    flush_python_streams();
    std::cerr << "_ostrel: this process was forked inside a VONUCloudDelegate callback, which has ended; it cannot "
                 "go back to the SDK thread it was forked on and exits with status "
              << status << std::endl;
    std::fflush(nullptr);
    _exit(status);
}

const char kForeignCloud[] =
    "this VONUCloud belongs to another process: it was created before fork() and cannot be used in the child; "
    "create a new VONUCloud";

void install_fork_guard() {
    if (g_fork_guard_installed) return;
    pthread_atfork(before_fork, in_parent, in_child);
    g_fork_guard_installed = true;
}

PyThreadState* new_thread_state() {
    std::lock_guard<std::mutex> lock(g_thread_states);
    return PyThreadState_New(PyInterpreterState_Main());
}

void delete_thread_state(PyThreadState* state) {
    std::lock_guard<std::mutex> lock(g_thread_states);
    PyThreadState_Delete(state);
}

unsigned process_generation() { return g_generation.load(std::memory_order_relaxed); }

}  // namespace ostrel_binding
