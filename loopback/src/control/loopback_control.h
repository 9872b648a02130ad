/* The loopback SDK's C control interface: the call recorder and the room simulation controls.
 * ostrel_loopback (Python, ctypes) and the C++ tests use it. Texts returned as char* are
 * allocated by the SDK and released with ostrel_loopback_free. Functions that act on members
 * name them by the user id they entered a room with and return the number of instances they
 * reached, or a negative number for arguments they refuse. */
#ifndef OSTREL_LOOPBACK_CONTROL_LOOPBACK_CONTROL_H_
#define OSTREL_LOOPBACK_CONTROL_LOOPBACK_CONTROL_H_

#include <stddef.h>
#include <stdint.h>

#define OSTREL_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* One argument of an injected callback: kind 0 null, 1 integer, 2 bytes, 3 (user id, quality)
 * pair, 4 list of `count` items. */
struct ostrel_loopback_arg {
    int32_t kind;
    int64_t integer;
    const char* data;
    size_t size;
    const struct ostrel_loopback_arg* items;
    size_t count;
};

/* Call recorder. */
OSTREL_EXPORT void ostrel_loopback_record(int on);
OSTREL_EXPORT void ostrel_loopback_clear(void);
OSTREL_EXPORT char* ostrel_loopback_calls(void);
/* Calls let go since the last clear to keep the recorder within its bounds (the newest 10,000
 * calls and 16 MiB of their text). */
OSTREL_EXPORT unsigned long long ostrel_loopback_calls_forgotten(void);
OSTREL_EXPORT void ostrel_loopback_free(char* text);

/* Room simulation. */
/* 1 once every event queued before the call has been delivered, 0 on timeout. */
OSTREL_EXPORT int ostrel_loopback_wait_idle(double timeout_seconds);
OSTREL_EXPORT int ostrel_loopback_set_network_quality(const char* user_id, int quality);
OSTREL_EXPORT void ostrel_loopback_set_quality_interval(int ms);
/* The report interval in force, in ms; 0 when the reports are stopped. */
OSTREL_EXPORT int ostrel_loopback_quality_interval(void);
OSTREL_EXPORT int ostrel_loopback_drop_messages(const char* user_id, uint32_t count);
OSTREL_EXPORT int ostrel_loopback_disconnect(const char* user_id, int ms);
OSTREL_EXPORT int ostrel_loopback_raise_error(const char* user_id, int code);
OSTREL_EXPORT int ostrel_loopback_kick(const char* user_id, int reason);
/* Delivers one callback, named as in the delegate interface (the two video overloads as
 * OnRemoteVideoFrameReceived and OnRemotePixelFrameReceived), to the members entered with
 * `user_id` (user_id_size bytes), or to every live instance when user_id is null. Returns the
 * number of instances reached, -1 for an unknown event and -2 for arguments that do not fit. */
OSTREL_EXPORT int ostrel_loopback_inject(const char* user_id, size_t user_id_size, const char* event,
                                         const struct ostrel_loopback_arg* args, size_t count);
OSTREL_EXPORT void ostrel_loopback_fail_next_create(void);
/* The texts of exceptions that left delegate callbacks, oldest first, as a Python literal list
 * of bytes; release with ostrel_loopback_free. */
OSTREL_EXPORT char* ostrel_loopback_escaped(void);
OSTREL_EXPORT void ostrel_loopback_clear_escaped(void);
/* Disowns the callbacks running now and discards the events queued behind them on their
 * instances: an exception that leaves a disowned callback is logged but not kept for escaped(),
 * and wait_idle and clock_advance do not wait for an instance while its disowned callback runs.
 * Returns how many callbacks that disowned. */
OSTREL_EXPORT int ostrel_loopback_disown_running(void);
OSTREL_EXPORT int ostrel_loopback_live_instances(void);
/* The live instances, oldest first, as a Python literal list of (number, user id, room id)
 * tuples, the ids as bytes, both None for an instance in no room; release with
 * ostrel_loopback_free. */
OSTREL_EXPORT char* ostrel_loopback_instances(void);
OSTREL_EXPORT int ostrel_loopback_sdk_threads(void);
/* Callbacks between their call and their return right now; lock-free, so a caller may spin. */
OSTREL_EXPORT int ostrel_loopback_callbacks_running(void);
OSTREL_EXPORT unsigned long long ostrel_loopback_dropped(void);
/* Sent media frames dropped, oldest first, because the SDK's delivery work for their stream fell
 * behind. */
OSTREL_EXPORT unsigned long long ostrel_loopback_send_dropped(void);
/* Sent media frames that could not be decoded for the receivers that needed them decoded. */
OSTREL_EXPORT unsigned long long ostrel_loopback_undecodable(void);
/* Codecs the SDK runs for its rooms now, by kind: 0 Opus encoders, 1 Opus decoders, 2 H.264
 * encoders, 3 H.264 decoders; -1 for another kind. */
OSTREL_EXPORT int ostrel_loopback_codecs(int kind);

/* The SDK clock, which all timed work reads (real time by default). Freezing stops it; advance
 * moves it `ms` forward, running the work due on the way in time order and waiting, after each
 * due time, until the events that work caused have been delivered; it returns 1 when done, 0 when
 * `timeout_seconds` of real time ran out first, -1 for a negative or too large `ms`. On a running
 * clock it jumps ahead and runs on from there. now_ms counts milliseconds from an arbitrary start. */
OSTREL_EXPORT void ostrel_loopback_clock_freeze(void);
OSTREL_EXPORT void ostrel_loopback_clock_resume(void);
/* 1 while the clock is frozen, 0 while it runs with real time. */
OSTREL_EXPORT int ostrel_loopback_clock_frozen(void);
OSTREL_EXPORT int64_t ostrel_loopback_clock_now_ms(void);
/* Milliseconds until the earliest timed work is due on the SDK clock, rounded up (0: due now), or
 * -1 when none waits. */
OSTREL_EXPORT int64_t ostrel_loopback_clock_next_due_ms(void);
OSTREL_EXPORT int ostrel_loopback_clock_advance(int64_t ms, double timeout_seconds);

/* Media faults of the members entered with `user_id`: the fractions (0 to 1) of audio and video
 * frames to them that are lost, drawn from `seed` when `seeded` is non-zero; and the delay of
 * media to them on the SDK clock, varying by up to `jitter_ms` either way, order kept (0 to one
 * hour each). -1 for values outside those ranges. */
OSTREL_EXPORT int ostrel_loopback_media_loss(const char* user_id, double audio, double video, int seeded,
                                             uint64_t seed);
OSTREL_EXPORT int ostrel_loopback_media_delay(const char* user_id, int ms, int jitter_ms);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* OSTREL_LOOPBACK_CONTROL_LOOPBACK_CONTROL_H_ */
