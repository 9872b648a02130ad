#include "events/sdk_counters.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <utility>

#include "process_local.h"

namespace ostrel::loopback::events {

namespace {

std::atomic<uint64_t> g_dropped{0};
std::atomic<uint64_t> g_send_dropped{0};
std::atomic<uint64_t> g_undecodable{0};
std::atomic<int> g_threads{0};
std::atomic<int> g_callbacks_running{0};

// The texts of exceptions that left delegate callbacks, oldest first.
struct EscapedStore {
    std::mutex mutex;               // guards texts
    std::deque<std::string> texts;  // at most kMaxEscapedKept
};

ProcessLocal<EscapedStore> g_escaped;

}  // namespace

uint64_t total_dropped() {
    return g_dropped.load(std::memory_order_relaxed) + g_send_dropped.load(std::memory_order_relaxed);
}
void note_dropped(uint64_t frames) { g_dropped.fetch_add(frames, std::memory_order_relaxed); }

uint64_t total_send_dropped() { return g_send_dropped.load(std::memory_order_relaxed); }
void note_send_dropped(uint64_t frames) { g_send_dropped.fetch_add(frames, std::memory_order_relaxed); }

uint64_t total_undecodable() { return g_undecodable.load(std::memory_order_relaxed); }
void note_undecodable(uint64_t frames) { g_undecodable.fetch_add(frames, std::memory_order_relaxed); }

// Acquire/release: seeing a thread counted as joined means seeing everything it did.
int sdk_threads() { return g_threads.load(std::memory_order_acquire); }
void thread_started() { g_threads.fetch_add(1, std::memory_order_acq_rel); }
void thread_joined() { g_threads.fetch_sub(1, std::memory_order_acq_rel); }

int callbacks_running() { return g_callbacks_running.load(std::memory_order_acquire); }
void callback_entered() { g_callbacks_running.fetch_add(1, std::memory_order_acq_rel); }
void callback_left() { g_callbacks_running.fetch_sub(1, std::memory_order_acq_rel); }

void keep_escaped(std::string text) {
    EscapedStore& s = g_escaped.get();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.texts.push_back(std::move(text));
    while (s.texts.size() > kMaxEscapedKept) s.texts.pop_front();
}

std::vector<std::string> escaped() {
    EscapedStore& s = g_escaped.get();
    std::lock_guard<std::mutex> lock(s.mutex);
    return std::vector<std::string>(s.texts.begin(), s.texts.end());
}

void clear_escaped() {
    EscapedStore& s = g_escaped.get();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.texts.clear();
}

void forget_counters_in_child() {
    g_dropped.store(0, std::memory_order_relaxed);
    g_send_dropped.store(0, std::memory_order_relaxed);
    g_undecodable.store(0, std::memory_order_relaxed);
    g_threads.store(0, std::memory_order_relaxed);
    g_callbacks_running.store(0, std::memory_order_relaxed);
    g_escaped.forget_in_child();
}

}  // namespace ostrel::loopback::events
