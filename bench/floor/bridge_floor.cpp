// _bridge_floor: the reference points of the bridge benchmark (bench/bridge.py).
//
// A native thread, started here and joined before the call returns, calls into Python the way
// any binding has to: either a Python callable through the plain C API, with the user id and the
// payload made into a str and a bytes object for every call (the least a binding can do), or a C
// function pointer, such as a ctypes CFUNCTYPE callback, with the raw pointers. The first gives
// the floor in two forms: a thread state made and deleted for every call (PyGILState_Ensure on a
// thread Python has not seen), and one made once and kept for the whole batch; the kept form also
// with each payload handed over from another thread, as an SDK's event thread gets it (written
// by another core, freed after the call), which is where a delivered message's data comes from.
// The second is the peer a user would write without a binding; ctypes makes its own thread state
// per call.
//
// The calling thread releases the GIL while it waits for the native thread, so each call is the
// only contender for the GIL, as a callback is while its bot's main thread waits.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// The call a native thread makes into ctypes: user id, payload pointer and length.
using PeerCallback = void (*)(const char* user_id, const uint8_t* data, size_t size);

// A Py_buffer held for the scope, released on the way out.
class BufferHold {
public:
    BufferHold() = default;
    ~BufferHold() {
        if (view_.obj != nullptr) PyBuffer_Release(&view_);
    }
    BufferHold(const BufferHold&) = delete;
    BufferHold& operator=(const BufferHold&) = delete;
    Py_buffer* get() { return &view_; }  // for PyArg_ParseTuple's "y*"
    const char* data() const { return static_cast<const char*>(view_.buf); }
    Py_ssize_t size() const { return view_.len; }

private:
    Py_buffer view_{};  // the payload; obj is null until filled
};

// Runs `body` on a new native thread and waits for it with the GIL released. False, with a Python
// error set, when the thread could not be started.
template <typename Body>
bool on_native_thread(Body&& body) {
    std::string failure;
    Py_BEGIN_ALLOW_THREADS try {
        std::thread thread(std::forward<Body>(body));
        thread.join();
    } catch (const std::system_error& e) {
        failure = e.what();
    }
    Py_END_ALLOW_THREADS if (failure.empty()) return true;
    PyErr_SetString(PyExc_RuntimeError, failure.c_str());
    return false;
}

// One call of `callable(user_id_str, payload_bytes)` with the GIL held. False when it raised; the
// error is printed (a native thread has nowhere else to send it).
bool call_once(PyObject* callable, const char* user_id, const char* data, Py_ssize_t size) {
    PyObject* user = PyUnicode_FromString(user_id);
    PyObject* payload = user != nullptr ? PyBytes_FromStringAndSize(data, size) : nullptr;
    PyObject* result = payload != nullptr ? PyObject_CallFunctionObjArgs(callable, user, payload, nullptr) : nullptr;
    Py_XDECREF(result);
    Py_XDECREF(payload);
    Py_XDECREF(user);
    if (result != nullptr) return true;
    PyErr_Print();
    return false;
}

// call_python(callable, user_id, payload, count, keep_state, handed_over=False) -> calls made
PyObject* call_python(PyObject*, PyObject* args) {
    PyObject* callable = nullptr;
    const char* user_id = nullptr;
    BufferHold payload;
    Py_ssize_t count = 0;
    int keep_state = 0;
    int handed_over = 0;
    if (!PyArg_ParseTuple(args, "Osy*np|p", &callable, &user_id, payload.get(), &count, &keep_state, &handed_over))
        return nullptr;
    // Handed over: each call's payload is a copy of its own, made beforehand on this thread and
    // freed on the native thread after its call, as an SDK hands a received message from its
    // network thread to its event thread.
    std::vector<std::unique_ptr<std::string>> copies;
    if (handed_over) {
        for (Py_ssize_t i = 0; i < count; ++i)
            copies.push_back(std::make_unique<std::string>(payload.data(), payload.size()));
    }
    PyInterpreterState* interpreter = PyThreadState_Get()->interp;
    Py_ssize_t made = 0;
    const bool started = on_native_thread([&]() noexcept {
        if (keep_state) {
            // One thread state for the batch: the GIL is taken and given back per call.
            PyThreadState* state = PyThreadState_New(interpreter);
            for (; made < count; ++made) {
                PyEval_RestoreThread(state);
                const bool ok = handed_over ? call_once(callable, user_id, copies[made]->data(), copies[made]->size())
                                            : call_once(callable, user_id, payload.data(), payload.size());
                PyEval_SaveThread();
                if (handed_over) copies[made].reset();
                if (!ok) break;
            }
            PyEval_RestoreThread(state);
            PyThreadState_Clear(state);
            PyThreadState_DeleteCurrent();
        } else {
            // A thread unknown to Python: every Ensure makes a thread state, every Release deletes it.
            for (; made < count; ++made) {
                const PyGILState_STATE gil = PyGILState_Ensure();
                const bool ok = call_once(callable, user_id, payload.data(), payload.size());
                PyGILState_Release(gil);
                if (!ok) break;
            }
        }
    });
    if (!started) return nullptr;
    return PyLong_FromSsize_t(made);
}

// call_pointer(address, user_id, payload, count) -> None: calls the C function at `address`
// `count` times from a native thread.
PyObject* call_pointer(PyObject*, PyObject* args) {
    unsigned long long address = 0;
    const char* user_id = nullptr;
    BufferHold payload;
    Py_ssize_t count = 0;
    if (!PyArg_ParseTuple(args, "Ksy*n", &address, &user_id, payload.get(), &count)) return nullptr;
    if (address == 0) {
        PyErr_SetString(PyExc_ValueError, "null function pointer");
        return nullptr;
    }
    const auto callback = reinterpret_cast<PeerCallback>(static_cast<uintptr_t>(address));
    const auto* data = reinterpret_cast<const uint8_t*>(payload.data());
    const auto size = static_cast<size_t>(payload.size());
    const bool started = on_native_thread([&]() noexcept {
        for (Py_ssize_t i = 0; i < count; ++i) callback(user_id, data, size);
    });
    if (!started) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"call_python", call_python, METH_VARARGS,
     "call_python(callable, user_id, payload, count, keep_state, handed_over=False) -> int\n\n"
     "Calls callable(str user_id, bytes payload) count times from a native thread, with a thread "
     "state made per call or one kept for all of them; returns the calls made (fewer when one raised). "
     "handed_over (with keep_state): each call reads a copy of the payload made on the calling "
     "thread beforehand and frees it afterwards."},
    {"call_pointer", call_pointer, METH_VARARGS,
     "call_pointer(address, user_id, payload, count) -> None\n\n"
     "Calls the C function void(const char*, const uint8_t*, size_t) at address count times from a "
     "native thread."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kModuleDoc[] = "Native reference points for the bridge benchmark.";
PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_bridge_floor", kModuleDoc, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__bridge_floor() { return PyModule_Create(&module); }
