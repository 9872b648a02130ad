// _gil_probe: how long a Python thread that wakes up waits for the GIL (bench/send.py).
//
// A ticker written in Python (time.sleep(0.001) in a loop) sees each wake-up stretched by
// everything between the end of its sleep and its next bytecode: waiting for a processor,
// hypervisor steal, and waiting for the GIL. Only the last is a thread holding the GIL too long.
// tick() is the same loop with the clock read in between: the calling Python thread releases the
// GIL, sleeps, reads the clock as soon as it runs again, takes the GIL back, and keeps the time
// from that reading to holding the GIL. A thread that keeps the GIL (a send that encodes on the
// caller's thread, say) shows as long waits; a busy processor mostly does not.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <time.h>

#include <chrono>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// tick(seconds, period=0.001) -> list[float]: the GIL waits, in seconds, of the wake-ups of
// `seconds` of ticking.
PyObject* tick(PyObject*, PyObject* args) {
    double seconds = 0;
    double period = 0.001;
    if (!PyArg_ParseTuple(args, "d|d", &seconds, &period)) return nullptr;
    if (!(seconds >= 0) || !(period > 0)) {
        PyErr_SetString(PyExc_ValueError, "seconds must be >= 0 and period > 0");
        return nullptr;
    }
    const timespec pause{static_cast<time_t>(period), static_cast<long>((period - static_cast<time_t>(period)) * 1e9)};
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<double> waits;
    while (Clock::now() < end) {
        PyThreadState* state = PyEval_SaveThread();
        nanosleep(&pause, nullptr);
        const Clock::time_point woke = Clock::now();
        PyEval_RestoreThread(state);
        waits.push_back(std::chrono::duration<double>(Clock::now() - woke).count());
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(waits.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < waits.size(); ++i) {
        PyObject* value = PyFloat_FromDouble(waits[i]);
        if (value == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);
    }
    return list;
}

PyMethodDef methods[] = {
    {"tick", tick, METH_VARARGS,
     "tick(seconds, period=0.001) -> list[float]\n\n"
     "Sleeps `period` at a time, with the GIL released, for `seconds`; returns how long each "
     "wake-up then waited for the GIL, in seconds."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_gil_probe", "How long a waking Python thread waits for the GIL.", -1, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__gil_probe() { return PyModule_Create(&module); }
