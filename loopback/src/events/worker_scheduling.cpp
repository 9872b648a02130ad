#include "events/worker_scheduling.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace ostrel::loopback::events {

namespace {

// The kernel's struct sched_attr in its first version (48 bytes), which every kernel that has
// sched_setattr accepts. glibc declares no wrapper before 2.41, and <linux/sched/types.h>
// clashes with <sched.h>, so it is spelled out here.
struct SchedAttr {
    uint32_t size = sizeof(SchedAttr);  // this structure's size, for the kernel's versioning
    uint32_t policy = 0;                // SCHED_OTHER, SCHED_BATCH, ...
    uint64_t flags = 0;                 // SCHED_FLAG_* (none used)
    int32_t nice = 0;                   // the fair policies' nice value
    uint32_t priority = 0;              // the real-time policies' priority
    uint64_t runtime = 0;               // the fair policies' time slice (ns), from Linux 6.12
    uint64_t deadline = 0;              // SCHED_DEADLINE only
    uint64_t period = 0;                // SCHED_DEADLINE only
};
static_assert(sizeof(SchedAttr) == 48, "the first version of struct sched_attr");

}  // namespace

void become_worker_thread() {
#ifdef SYS_sched_setattr
    SchedAttr attr;
    attr.policy = SCHED_BATCH;
    attr.nice = static_cast<int32_t>(getpriority(PRIO_PROCESS, 0));  // kept as it was
    attr.runtime = static_cast<uint64_t>(std::chrono::nanoseconds(kWorkerSlice).count());
    if (syscall(SYS_sched_setattr, 0, &attr, 0U) == 0) return;
#endif
    sched_param param{};
    param.sched_priority = 0;
    (void)sched_setscheduler(0, SCHED_BATCH, &param);
}

std::optional<ThreadScheduling> current_thread_scheduling() {
#ifdef SYS_sched_getattr
    SchedAttr attr;
    if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0U) == 0) {
        return ThreadScheduling{static_cast<int>(attr.policy), std::chrono::nanoseconds(attr.runtime)};
    }
#endif
    const int policy = sched_getscheduler(0);
    if (policy < 0) return std::nullopt;
    return ThreadScheduling{policy, {}};
}

}  // namespace ostrel::loopback::events
