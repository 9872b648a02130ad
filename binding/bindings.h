// The registration steps of module _ostrel, one per source file, run in this order by the
// module body.
#ifndef OSTREL_BINDINGS_H_
#define OSTREL_BINDINGS_H_

#include <pybind11/pybind11.h>

namespace ostrel_binding {

void bind_records(pybind11::module_& m);
void bind_enums(pybind11::module_& m);

}  // namespace ostrel_binding

#endif  // OSTREL_BINDINGS_H_
