#include "events/worker_scheduling.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "fd.h"

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

// What Linux says of a thread of this process (/proc/self/task/<tid>/stat).
struct ThreadState {
    char state = '?';    // 'R' (running or ready to run), 'S' (sleeping), ...
    int processor = -1;  // the processor it runs on, or is queued for, or last ran on
};

std::optional<ThreadState> read_thread_state(pid_t tid) {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
    char text[1024];  // a stat line is some 300 bytes
    ssize_t n = 0;
    {
        const Fd file(::open(path, O_RDONLY | O_CLOEXEC));
        if (!file) return std::nullopt;
        n = ::read(file.get(), text, sizeof text - 1);
    }
    if (n <= 0) return std::nullopt;
    text[n] = '\0';
    // "tid (name) state ...": the name may hold anything, so fields count from the last ')'.
    // The state is field 3, the processor field 39.
    const char* field = std::strrchr(text, ')');
    if (field == nullptr || field[1] != ' ') return std::nullopt;
    ThreadState thread;
    thread.state = field[2];
    field += 2;
    for (int number = 3; number < 39; ++number) {
        field = std::strchr(field, ' ');
        if (field == nullptr) return std::nullopt;
        ++field;
    }
    // A field cut short by the buffer's end is not read: the processor must end in a space.
    char* end = nullptr;
    const long processor = std::strtol(field, &end, 10);
    if (end == field || *end != ' ') return std::nullopt;
    thread.processor = static_cast<int>(processor);
    return thread;
}

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

pid_t current_thread_id() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool waits_for_this_processor(pid_t tid) {
    const std::optional<ThreadState> thread = read_thread_state(tid);
    return thread && thread->state == 'R' && thread->processor == sched_getcpu() && tid != current_thread_id();
}

void give_way_to(pid_t tid) {
    for (int pause = 0; pause < kGiveWayPauses && waits_for_this_processor(tid); ++pause) {
        std::this_thread::sleep_for(kGiveWayPause);
    }
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
