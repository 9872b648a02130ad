// Process-wide figures of the SDK's threads and events, for the control interface: threads
// running, callbacks running, frames dropped (by a receiver's queue or a send worker) or not
// decodable, and the texts of exceptions that left callbacks.
// Every counter is lock-free; the texts are kept under a lock of their own (a leaf lock).
#ifndef OSTREL_LOOPBACK_EVENTS_SDK_COUNTERS_H_
#define OSTREL_LOOPBACK_EVENTS_SDK_COUNTERS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel::loopback::events {

// Number of exception texts kept for escaped(); older ones are forgotten first.
constexpr size_t kMaxEscapedKept = 1000;

// Media frames dropped so far: in event queues, in the GetAudioFrame queue and by send workers.
uint64_t total_dropped();
void note_dropped(uint64_t frames);

// Sent media frames dropped before their delivery work began, because the stream's send
// worker fell behind.
uint64_t total_send_dropped();
void note_send_dropped(uint64_t frames);

// Sent media frames that could not be decoded for the receivers that needed them decoded.
uint64_t total_undecodable();
void note_undecodable(uint64_t frames);

// Accounting of SDK threads: every thread the SDK starts is counted until it has been joined.
int sdk_threads();
void thread_started();
void thread_joined();

// Number of delegate callbacks running right now, process-wide: counted from the moment the SDK
// calls the delegate until the delegate returns (or its thread unwinds out of it).
int callbacks_running();
void callback_entered();
void callback_left();

// Texts of exceptions that left delegate callbacks, oldest first (the newest kMaxEscapedKept).
void keep_escaped(std::string text);
std::vector<std::string> escaped();
void clear_escaped();

// In a fork child: no threads, callbacks, drops (of either kind), undecodable frames or escaped texts of the
// parent's.
void forget_counters_in_child();

}  // namespace ostrel::loopback::events

#endif  // OSTREL_LOOPBACK_EVENTS_SDK_COUNTERS_H_
