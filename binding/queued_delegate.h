// QueuedDelegate: a delegate whose events wait in an EventQueue, for a Python thread to take.
//
// The delegate that Python subclasses (delegate.h) takes the GIL on the SDK's thread for every
// event and calls a Python method there. This one takes no GIL and runs no Python: each callback
// copies what the delegate event table passes to Python (records, frames, strings and message
// bytes; delegate_events.h) into native memory, queues it with the delegate's key and the time,
// and returns. The consumer turns the copies into the very arguments a Python method would have
// received (the same conversions), on its own thread, many events at a time. An SDK thread
// therefore never waits for the GIL or for the consumer on this delegate's behalf.
//
// The queue is bounded for frames only: a frame event that would put more than the delegate's
// limit of payload bytes in the queue is lost and counted instead, so a consumer that stops
// taking costs a bounded amount of memory per delegate for media; control events are never
// lost. A class that cannot be subclassed in Python: its callbacks are native.
//
// It is a PyVONUCloudDelegate, the class the cloud takes, with every callback overridden; it
// never enters the exit gate, for it never touches Python.
#ifndef OSTREL_QUEUED_DELEGATE_H_
#define OSTREL_QUEUED_DELEGATE_H_

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "delegate.h"
#include "delegate_events.h"
#include "event_queue.h"

namespace ostrel_binding {

// The rows of the delegate event table, numbered in its order.
enum QueuedEventRow : size_t {
#define OSTREL_EVENT_ROW(member, python_name, policy, parameters, python_arguments) kRow##python_name,
    OSTREL_DELEGATE_EVENTS(OSTREL_EVENT_ROW)
#undef OSTREL_EVENT_ROW
        kQueuedEventRows
};

// The Python name of each row.
extern const char* const kQueuedEventNames[kQueuedEventRows];

class QueuedDelegate final : public PyVONUCloudDelegate {
public:
    QueuedDelegate(std::shared_ptr<EventQueue> queue, uint64_t key, size_t frame_bytes_limit);

#define OSTREL_DECLARE_QUEUED_OVERRIDE(member, python_name, policy, parameters, python_arguments) \
    void member parameters override;
    OSTREL_DELEGATE_EVENTS(OSTREL_DECLARE_QUEUED_OVERRIDE)
#undef OSTREL_DECLARE_QUEUED_OVERRIDE

    uint64_t key() const { return key_; }
    const DeliveryAccount& account() const { return *account_; }

    // What the table's helpers keep of their arguments (see delegate_events.h), copied now.
    struct Text {  // a C string: None for a null pointer
        bool null;
        std::string text;
    };
    struct Bytes {  // message_bytes(p, n)
        std::string bytes;
    };
    static Bytes message_bytes(const char* message, size_t length);
    static std::unique_ptr<ostrel::vonu::NetworkQualityInfo> quality_record(
        const ostrel::vonu::NetworkQualityInfo* quality);
    static std::vector<ostrel::vonu::NetworkQualityInfo> quality_list(const ostrel::vonu::NetworkQualityInfo* qualities,
                                                                      size_t count);

private:
    // Queues one event of `row` whose kept arguments are `kept` (a tuple).
    template <typename Kept>
    void post(QueuedEventRow row, Kept kept);

    const std::shared_ptr<EventQueue> queue_;
    const uint64_t key_;
    const std::shared_ptr<DeliveryAccount> account_;
};

}  // namespace ostrel_binding

#endif  // OSTREL_QUEUED_DELEGATE_H_
