#include "delegate_object.h"

#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <new>
#include <utility>

#include "thread_state.h"

namespace py = pybind11;

namespace ostrel_binding {

namespace {

struct Left {
    PyObject* reference;  // a weak reference whose link has gone
    Left* next;           // the entry pushed before this one
};

std::atomic<Left*> g_left{nullptr};  // weak references left for the GIL, newest first

// As py::detail::get_object_handle(native, type's pybind11 record) finds it: an instance
// registered at that address whose type derives from `type` (pybind11 asks the same of the
// type's list of registered bases, which it keeps in a cache of its own).
PyObject* registered_object(const void* native, PyTypeObject* type) {
    return py::detail::with_instance_map(native, [&](py::detail::instance_map& instances) -> PyObject* {
        const auto range = instances.equal_range(native);
        for (auto it = range.first; it != range.second; ++it) {
            auto* found = reinterpret_cast<PyObject*>(it->second);
            if (PyType_IsSubtype(Py_TYPE(found), type)) return found;
        }
        return nullptr;
    });
}

}  // namespace

DelegateObjectLink::~DelegateObjectLink() {
    if (watch_ == nullptr || !Py_IsInitialized()) return;
    if (holds_gil()) {
        Py_DECREF(watch_);  // a weak reference without a callback: runs no Python code
        return;
    }
    if (_Py_IsFinalizing()) return;  // left to the end of the process
    auto* entry = new (std::nothrow) Left{watch_, g_left.load(std::memory_order_relaxed)};
    if (entry == nullptr) return;
    while (!g_left.compare_exchange_weak(entry->next, entry, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

PyObject* DelegateObjectLink::find(const void* native, PyTypeObject* type) const {
    if (watch_ != nullptr) {
        PyObject* object = PyWeakref_GET_OBJECT(watch_);
        if (object != Py_None) return object;
    }
    return registered_object(native, type);
}

void DelegateObjectLink::remember(PyObject* object) {
    if (watch_ != nullptr && PyWeakref_GET_OBJECT(watch_) == object) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* made = PyWeakref_NewRef(object, nullptr);
    if (made == nullptr) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    // Set before the old one goes: a collection inside PyWeakref_NewRef may have come back here.
    Py_XDECREF(std::exchange(watch_, made));
}

void release_left_weak_references() {
    if (g_left.load(std::memory_order_relaxed) == nullptr) return;
    Left* entry = g_left.exchange(nullptr, std::memory_order_acquire);
    while (entry != nullptr) {
        std::unique_ptr<Left> taken(entry);
        entry = entry->next;
        Py_DECREF(taken->reference);
    }
}

}  // namespace ostrel_binding
