// The registration steps of module _ostrel, one per source file, run in this order by the
// module body (ostrel_binding.cpp), which registers the settings functions itself between the
// last two.
#ifndef OSTREL_BINDINGS_H_
#define OSTREL_BINDINGS_H_

#include <pybind11/pybind11.h>

namespace ostrel_binding {

// Class VONUCloud (cloud_wrapper.cpp).
void bind_cloud(pybind11::module_& m);
// Class VONUCloudDelegate and its overridable methods (delegate.cpp).
void bind_delegate(pybind11::module_& m);
void bind_queued_delivery(pybind11::module_& m);
// The record classes (bind_records.cpp).
void bind_records(pybind11::module_& m);
// The enumerations, each with its members exported to the module (bind_enums.cpp).
void bind_enums(pybind11::module_& m);
// The check for instances whose __init__ never ran, in front of every function of the classes
// registered before it (init_guard.cpp); the last step.
void guard_uninitialised(pybind11::module_& m);

}  // namespace ostrel_binding

#endif  // OSTREL_BINDINGS_H_
