// Instances whose __init__ never ran, such as `VONUCloud.__new__(VONUCloud)`, hold no native
// object. pybind11 would hand such an instance to a bound function as a pointer to fresh,
// uninitialised memory (and call through it), so every function of the module's classes is
// given a check in front of its dispatcher: an argument that is such an instance, `self`
// included (except for the instance that __init__ is initialising), raises TypeError before
// anything is converted, and nothing reaches the SDK.
#ifndef OSTREL_INIT_GUARD_H_
#define OSTREL_INIT_GUARD_H_

#include <pybind11/pybind11.h>

namespace ostrel_binding {

// guard_uninitialised (bindings.h) puts the check in front of every method, property accessor
// and constructor of the module's classes.

// The same check for a slot that pybind11 does not dispatch (a frame's buffer slot): true, with
// TypeError set, when `o` is an instance of the module's classes whose __init__ never ran.
bool refuse_uninitialised(PyObject* o);

}  // namespace ostrel_binding

#endif  // OSTREL_INIT_GUARD_H_
