#include "fork_guard.h"

#include <pthread.h>

#include <atomic>

#include "callback_gate.h"

namespace ostrel_binding {

namespace {

std::atomic<unsigned> g_generation{0};  // process-wide: moved on only in a new child
bool g_installed = false;                // guarded by the GIL

void in_child() {
    g_generation.fetch_add(1, std::memory_order_relaxed);
    reset_exit_gate_after_fork();
}

}  // namespace

const char kForeignCloud[] =
    "this VONUCloud belongs to another process: it was created before fork() and cannot be used in the child; "
    "create a new VONUCloud";

void install_fork_guard() {
    if (g_installed) return;
    pthread_atfork(nullptr, nullptr, in_child);
    g_installed = true;
}

unsigned process_generation() { return g_generation.load(std::memory_order_relaxed); }

}  // namespace ostrel_binding
