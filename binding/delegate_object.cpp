#include "delegate_object.h"

#include <atomic>
#include <memory>
#include <new>
#include <utility>

#include "internals.h"
#include "thread_state.h"

namespace ostrel_binding {

namespace {

// A weak reference whose link was destroyed without the GIL, waiting for the GIL to be released.
struct OrphanedWeakReference {
    PyObject* reference;          // no link's any more
    OrphanedWeakReference* next;  // the entry pushed before this one
};

std::atomic<OrphanedWeakReference*> g_orphaned{nullptr};  // the stack of orphaned references, newest first

}  // namespace

DelegateObjectLink::~DelegateObjectLink() {
    if (watch_ == nullptr || !Py_IsInitialized()) return;
    if (holds_gil()) {
        Py_DECREF(watch_);  // a weak reference without a callback: runs no Python code
        return;
    }
    if (internals::finalizing()) return;  // left to the end of the process
    auto* entry = new (std::nothrow) OrphanedWeakReference{watch_, g_orphaned.load(std::memory_order_relaxed)};
    if (entry == nullptr) return;
    while (
        !g_orphaned.compare_exchange_weak(entry->next, entry, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

PyObject* DelegateObjectLink::find(const void* native, PyTypeObject* type) const {
    if (watch_ != nullptr) {
        PyObject* object = PyWeakref_GET_OBJECT(watch_);
        if (object != Py_None) return object;
    }
    return internals::registered_instance(native, type);
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
    if (g_orphaned.load(std::memory_order_relaxed) == nullptr) return;
    OrphanedWeakReference* entry = g_orphaned.exchange(nullptr, std::memory_order_acquire);
    while (entry != nullptr) {
        std::unique_ptr<OrphanedWeakReference> taken(entry);
        entry = entry->next;
        Py_DECREF(taken->reference);
    }
}

}  // namespace ostrel_binding
