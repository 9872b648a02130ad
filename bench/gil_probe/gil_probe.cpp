// _gil_probe: how long a Python thread that wakes up waits for the GIL (bench/send.py).
//
// A ticker written in Python (time.sleep(0.001) in a loop) sees each wake-up stretched by
// everything between the end of its sleep and its next bytecode: waiting for a processor,
// hypervisor steal, and waiting for the GIL. Only the last is a thread holding the GIL too long.
// tick() is the same loop with the clock read in between: the calling Python thread releases the
// GIL, sleeps, reads the clock as soon as it runs again, takes the GIL back, and keeps the time
// from that reading to holding the GIL. A thread that keeps the GIL (a send that encodes on the
// caller's thread, say) shows as long waits; a busy processor mostly does not.
//
// Mostly: once the holder gives the GIL up, the waiting thread is woken and may then wait for a
// processor before it can take the GIL. Where Linux says how long a thread has waited on a run
// queue (/proc/thread-self/schedstat), each wait comes with that part of it, so that a reader can
// tell a thread holding the GIL from a processor busy with something else (a codec thread on a
// two-processor machine, say). A holder that is itself waiting for a processor still counts as
// holding the GIL: its waiters sleep meanwhile.
//
// Each wake-up also comes with the length of the sleep before it, from just before the GIL was
// given up to running again: what the machine makes of a 1-ms sleep with no GIL involved (a timer
// that fires late on an idle virtual processor, say). A Python ticker's gap holds that too.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The calling thread's time on a run queue so far, from its schedstat: open for the scope.
class RunQueueWait {
public:
    RunQueueWait() : fd_(open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC)) {}
    ~RunQueueWait() {
        if (fd_ >= 0) close(fd_);
    }
    RunQueueWait(const RunQueueWait&) = delete;
    RunQueueWait& operator=(const RunQueueWait&) = delete;

    // Nanoseconds spent runnable but not running (the second field); -1 where Linux does not say.
    long long nanoseconds() const {
        char text[128];
        const ssize_t got = fd_ >= 0 ? pread(fd_, text, sizeof text - 1, 0) : -1;
        if (got <= 0) return -1;
        text[got] = '\0';
        char* rest = nullptr;
        std::strtoll(text, &rest, 10);  // time on a processor
        if (rest == text) return -1;
        char* after = nullptr;
        const long long waited = std::strtoll(rest, &after, 10);
        return after == rest ? -1 : waited;
    }

private:
    int fd_;  // the schedstat file, -1 when it could not be opened
};

// One wake-up: its wait for the GIL, and the part of it on a run queue when known.
struct Wake {
    double slept;   // from giving the GIL up to running again after the sleep, seconds
    double wait;    // from running again after the sleep to holding the GIL, seconds
    bool known;     // whether queued was read
    double queued;  // of wait, the time runnable but not running, seconds
};

// tick(seconds, period=0.001) -> list[tuple[float, float | None, float]]: for each wake-up of
// `seconds` of ticking, its GIL wait, the part of it spent waiting for a processor (None where
// Linux does not say), and the sleep before it, in seconds.
PyObject* tick(PyObject*, PyObject* args) {
    double seconds = 0;
    double period = 0.001;
    if (!PyArg_ParseTuple(args, "d|d", &seconds, &period)) return nullptr;
    if (!(seconds >= 0) || !(period > 0)) {
        PyErr_SetString(PyExc_ValueError, "seconds must be >= 0 and period > 0");
        return nullptr;
    }
    const timespec pause{static_cast<time_t>(period), static_cast<long>((period - static_cast<time_t>(period)) * 1e9)};
    const Clock::time_point end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    RunQueueWait queued;
    std::vector<Wake> wakes;
    while (Clock::now() < end) {
        const Clock::time_point asleep = Clock::now();
        PyThreadState* state = PyEval_SaveThread();
        nanosleep(&pause, nullptr);
        const Clock::time_point woke = Clock::now();
        const long long queued_before = queued.nanoseconds();
        PyEval_RestoreThread(state);
        const Clock::time_point held = Clock::now();
        const long long queued_after = queued.nanoseconds();  // read holding the GIL: a syscall, microseconds
        const bool known = queued_before >= 0 && queued_after >= 0;
        wakes.push_back({std::chrono::duration<double>(woke - asleep).count(),
                         std::chrono::duration<double>(held - woke).count(), known,
                         known ? static_cast<double>(queued_after - queued_before) / 1e9 : 0.0});
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(wakes.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < wakes.size(); ++i) {
        PyObject* item = wakes[i].known ? Py_BuildValue("(ddd)", wakes[i].wait, wakes[i].queued, wakes[i].slept)
                                        : Py_BuildValue("(dOd)", wakes[i].wait, Py_None, wakes[i].slept);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyMethodDef methods[] = {
    {"tick", tick, METH_VARARGS,
     "tick(seconds, period=0.001) -> list[tuple[float, float | None, float]]\n\n"
     "Sleeps `period` at a time, with the GIL released, for `seconds`; returns, for each wake-up, "
     "how long it then waited for the GIL, how much of that it waited for a processor (None "
     "where Linux does not say), and how long the sleep before it took, in seconds."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kModuleDoc[] = "How long a waking Python thread waits for the GIL.";
PyModuleDef module = {PyModuleDef_HEAD_INIT, "_gil_probe", kModuleDoc, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__gil_probe() { return PyModule_Create(&module); }
