#include "fork_guard.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

#include "callback_gate.h"

namespace ostrel_binding {

namespace {

std::atomic<unsigned> g_generation{0};  // process-wide: moved on only in a new child
std::mutex g_thread_states;              // held while an SDK thread makes its thread state
bool g_installed = false;                // guarded by the GIL

void before_fork() { g_thread_states.lock(); }

void in_parent() { g_thread_states.unlock(); }

void in_child() {
    g_thread_states.unlock();  // taken by the forking thread, of which this is the copy
    g_generation.fetch_add(1, std::memory_order_relaxed);
    reset_exit_gate_after_fork();
}

}  // namespace

const char kForeignCloud[] =
    "this VONUCloud belongs to another process: it was created before fork() and cannot be used in the child; "
    "create a new VONUCloud";

void install_fork_guard() {
    if (g_installed) return;
    pthread_atfork(before_fork, in_parent, in_child);
    g_installed = true;
}

PyThreadState* new_thread_state() {
    std::lock_guard<std::mutex> lock(g_thread_states);
    return PyThreadState_New(PyInterpreterState_Main());
}

unsigned process_generation() { return g_generation.load(std::memory_order_relaxed); }

}  // namespace ostrel_binding
