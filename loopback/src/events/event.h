// One event for a delegate: the callback to call with its arguments, and how the event queue
// treats it (media frames may be dropped while a delegate is slow; nothing else is).
#ifndef OSTREL_LOOPBACK_EVENTS_EVENT_H_
#define OSTREL_LOOPBACK_EVENTS_EVENT_H_

#include <cstddef>
#include <utility>

#include "events/delivery.h"

namespace ostrel::loopback::events {

// Per-instance bound on queued media frames. Beyond either limit the oldest queued frame is
// dropped, but the newest is always kept, so that a frame larger than the byte bound still
// reaches an idle delegate. Room, user, channel, message, quality and error events are never
// dropped.
constexpr size_t kMaxQueuedFrames = 256;
constexpr size_t kMaxQueuedFrameBytes = size_t{32} << 20;

struct Event {
    const char* name = "";  // the callback's name, for logs
    bool media = false;     // a frame: may be dropped while the delegate is slow
    size_t bytes = 0;       // payload bytes counted against kMaxQueuedFrameBytes
    Delivery deliver;
};

// An event of that callback name.
template <typename F>
Event make_event(const char* name, F&& deliver) {
    Event e;
    e.name = name;
    e.deliver = std::forward<F>(deliver);
    return e;
}

// A media frame's event, of `bytes` payload bytes.
template <typename F>
Event make_media_event(const char* name, size_t bytes, F&& deliver) {
    Event e = make_event(name, std::forward<F>(deliver));
    e.media = true;
    e.bytes = bytes;
    return e;
}

}  // namespace ostrel::loopback::events

#endif  // OSTREL_LOOPBACK_EVENTS_EVENT_H_
