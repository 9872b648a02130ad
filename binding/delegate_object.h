// The Python object of a native delegate, found on every callback.
//
// pybind11's registry knows it: a search of a hash table by the native address, then a walk of
// the found type's bases, on every callback. A weak reference to the object once found, kept
// beside the native delegate, gives the same object for as long as it lives, by reading one
// field. Python clears an object's weak references before the object goes: pybind11's
// deallocation right after it takes the object out of its registry, the collector before it runs
// any finalizer of a cycle. A weak reference that still points at an object therefore points at
// the registered one; once it is cleared, the registry is searched again, as without it.
//
// Everything here runs with the GIL held, except a link's destructor: a native delegate may be
// destroyed on any thread, for its last owner (a cloud) may let it go with the GIL released.
// Without the GIL the weak reference goes on a list, without touching Python, and
// release_left_weak_references() releases it the next time the binding holds the GIL for a
// callback or a cloud's release. Once finalization has begun, the list is left as it is.
#ifndef OSTREL_DELEGATE_OBJECT_H_
#define OSTREL_DELEGATE_OBJECT_H_

#include <Python.h>

namespace ostrel_binding {

// The link from one native delegate to its Python object.
class DelegateObjectLink {
public:
    DelegateObjectLink() = default;
    ~DelegateObjectLink();
    DelegateObjectLink(const DelegateObjectLink&) = delete;
    DelegateObjectLink& operator=(const DelegateObjectLink&) = delete;

    // The Python object registered at `native` whose type is `type` or derives from it,
    // borrowed; null when there is none. Allocates nothing, so no collection runs inside.
    PyObject* find(const void* native, PyTypeObject* type) const;

    // Notes `object`, just found by find() and held by the caller, for the next find(). Makes a
    // weak reference unless it has one to that object already, which may run the collector. The
    // error indicator is left as it was; an object without weak references is left to the
    // registry.
    void remember(PyObject* object);

private:
    PyObject* watch_ = nullptr;  // a weak reference to the object last found, or null
};

// Releases the weak references of links destroyed without the GIL. Called with the GIL held;
// costs one atomic load when there are none.
void release_left_weak_references();

}  // namespace ostrel_binding

#endif  // OSTREL_DELEGATE_OBJECT_H_
