// Process-wide recorder of the calls that reach the SDK, for tests.
//
// Recording is off by default; while it is off, `on()` is one relaxed atomic load and a
// thread-local read, and nothing else runs. A call is recorded as its name and a dict of its
// arguments, kept as a Python literal so that the control module can read it back exactly.
//
// SDK code that calls public record members internally (copying a VonuString, reading a frame)
// holds a `Mute` so that only calls made from outside the SDK are recorded.
//
// The recorder keeps the newest kMaxCalls calls, and of those no more than kMaxBytes of text
// (the newest call always stays, however large): recording left on while media flows would
// otherwise grow without end. It counts the calls it let go, until clear().
#ifndef OSTREL_LOOPBACK_CALL_RECORDER_H_
#define OSTREL_LOOPBACK_CALL_RECORDER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace ostrel {
namespace loopback {
namespace call_recorder {

extern std::atomic<bool> g_enabled;
extern thread_local int t_mute_depth;

inline bool on() { return g_enabled.load(std::memory_order_relaxed) && t_mute_depth == 0; }

// Suppresses recording on this thread while alive.
class Mute {
public:
    Mute() { ++t_mute_depth; }
    ~Mute() { --t_mute_depth; }
    Mute(const Mute&) = delete;
    Mute& operator=(const Mute&) = delete;
};

// Builds a Python dict literal, key by key.
class Dict {
public:
    Dict& none(const char* key);
    Dict& cstr(const char* key, const char* value);                   // bytes up to NUL, or None
    Dict& payload(const char* key, const void* data, size_t length);  // bytes plus `<key>_null`
    Dict& integer(const char* key, long long value);
    Dict& uinteger(const char* key, unsigned long long value);
    Dict& boolean(const char* key, bool value);
    Dict& dict(const char* key, const Dict& value);
    const std::string& text() const;

private:
    void key(const char* k);
    std::string text_ = "{";
    mutable std::string closed_;
};

// Bounds of the recorded calls: their number, and the bytes of their text.
constexpr size_t kMaxCalls = 10000;
constexpr size_t kMaxBytes = 16u << 20;

// Records one call: `record("SetLogPath", Dict().cstr("path", path))`.
void record(const char* name, const Dict& args);
inline void record(const char* name) { record(name, Dict()); }

void set_enabled(bool enabled);
// Forgets every recorded call, and the count of those let go.
void clear();
// The number of calls let go to keep within the bounds since the last clear().
uint64_t forgotten();
// All recorded calls, oldest first, as a Python literal list of (name, dict) tuples.
std::string dump();

// The lock that fork() must not copy while another thread holds it (see fork_safety.h).
std::mutex& mutex_for_fork();

// Python bytes literal of the given bytes.
std::string bytes_literal(const void* data, size_t length);

}  // namespace call_recorder
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_CALL_RECORDER_H_
