// A delegate that ignores every event: the base of the test delegates and the benchmark's. Its
// overrides, and those of the event log, come from the delegate event table; the views below
// are the table's argument helpers as the C++ test delegates see them.
#ifndef OSTREL_LOOPBACK_TESTS_QUIET_DELEGATE_H_
#define OSTREL_LOOPBACK_TESTS_QUIET_DELEGATE_H_

#include <cstddef>
#include <cstdint>

#include "delegate_events.h"
#include "vonu/ostrel_vonu_cloud.h"

namespace cloud_test {

using namespace ostrel::vonu;

// A message as the SDK lends it: `size` bytes at `data`.
struct MessageBytes {
    const char* data;  // null for no message
    size_t size;       // its stated length
};
// One record that may be missing.
struct QualityRecord {
    const NetworkQualityInfo* record;  // null when the SDK passed none
};
// An array of records.
struct QualityList {
    const NetworkQualityInfo* records;  // the first
    size_t count;                       // how many
};

inline MessageBytes message_bytes(const char* data, size_t size) { return {data, size}; }
inline QualityRecord quality_record(const NetworkQualityInfo* record) { return {record}; }
inline QualityList quality_list(const NetworkQualityInfo* records, size_t count) { return {records, count}; }

template <typename... Args>
void ignore(const Args&...) {}

// Every event's override does nothing with its arguments.
class QuietDelegate : public VONUCloudDelegate {
public:
#define OSTREL_QUIET_OVERRIDE(member, python_name, policy, parameters, python_arguments) \
    void member parameters override { ignore python_arguments; }
    OSTREL_DELEGATE_EVENTS(OSTREL_QUIET_OVERRIDE)
#undef OSTREL_QUIET_OVERRIDE
};

}  // namespace cloud_test

#endif  // OSTREL_LOOPBACK_TESTS_QUIET_DELEGATE_H_
