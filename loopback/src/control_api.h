// The loopback SDK's C control interface: the call recorder and the room simulation controls.
// ostrel_loopback (Python, ctypes) and the C++ tests use it; texts returned as char* are
// allocated by the SDK and released with ostrel_loopback_free.
#ifndef OSTREL_LOOPBACK_CONTROL_API_H_
#define OSTREL_LOOPBACK_CONTROL_API_H_

#include <cstddef>
#include <cstdint>

#define OSTREL_EXPORT __attribute__((visibility("default")))

extern "C" {

// One argument of an injected callback: kind 0 null, 1 integer, 2 bytes, 3 (user id, quality)
// pair, 4 list of `count` items.
struct ostrel_loopback_arg {
    int32_t kind;
    int64_t integer;
    const char* data;
    size_t size;
    const ostrel_loopback_arg* items;
    size_t count;
};

// Call recorder.
OSTREL_EXPORT void ostrel_loopback_record(int on);
OSTREL_EXPORT void ostrel_loopback_clear();
OSTREL_EXPORT char* ostrel_loopback_calls();
OSTREL_EXPORT void ostrel_loopback_free(char* text);

// Room simulation.
OSTREL_EXPORT int ostrel_loopback_wait_idle(double timeout_seconds);
OSTREL_EXPORT int ostrel_loopback_set_network_quality(const char* user_id, int quality);
OSTREL_EXPORT void ostrel_loopback_set_quality_interval(int ms);
OSTREL_EXPORT int ostrel_loopback_drop_messages(const char* user_id, uint32_t count);
OSTREL_EXPORT int ostrel_loopback_disconnect(const char* user_id, int ms);
OSTREL_EXPORT int ostrel_loopback_raise_error(const char* user_id, int code);
OSTREL_EXPORT int ostrel_loopback_kick(const char* user_id, int reason);
OSTREL_EXPORT int ostrel_loopback_inject(const char* user_id, size_t user_id_size, const char* event,
                                         const ostrel_loopback_arg* args, size_t count);
OSTREL_EXPORT void ostrel_loopback_fail_next_create();
OSTREL_EXPORT char* ostrel_loopback_escaped();
OSTREL_EXPORT void ostrel_loopback_clear_escaped();
OSTREL_EXPORT int ostrel_loopback_live_instances();
OSTREL_EXPORT int ostrel_loopback_sdk_threads();
OSTREL_EXPORT int ostrel_loopback_callbacks_running();
OSTREL_EXPORT unsigned long long ostrel_loopback_dropped();

}  // extern "C"

#include <string>

namespace ostrel {
namespace loopback {

// A malloc'd copy of the text, for answers released with ostrel_loopback_free; null when out
// of memory.
char* malloc_text(const std::string& text);

}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_CONTROL_API_H_
