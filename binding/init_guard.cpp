#include "init_guard.h"

#include "bindings.h"
#include "internals.h"

namespace py = pybind11;

namespace ostrel_binding {

namespace {

using Dispatch = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Both set once, while the module is registered, and read-only afterwards.
Dispatch g_dispatch = nullptr;            // pybind11's dispatcher, the same for every function
PyTypeObject* g_instance_base = nullptr;  // the base type of every pybind11 instance

bool uninitialised(PyObject* o) { return PyObject_TypeCheck(o, g_instance_base) && internals::holds_no_value(o); }

}  // namespace

bool refuse_uninitialised(PyObject* o) {
    if (!uninitialised(o)) return false;
    const char* name = Py_TYPE(o)->tp_name;
    PyErr_Format(PyExc_TypeError, "%.200s object is not initialized: %.200s.__init__() was never called", name, name);
    return true;
}

namespace {

// Checks the arguments from `first` on, positional and keyword, then dispatches.
template <Py_ssize_t first>
PyObject* checked(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t count =
        PyVectorcall_NARGS(static_cast<size_t>(nargsf)) + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    for (Py_ssize_t i = first; i < count; ++i) {
        if (refuse_uninitialised(args[i])) return nullptr;
    }
    return g_dispatch(self, args, nargsf, kwnames);
}

void guard_function(PyObject* f) {
    if (f != nullptr && PyInstanceMethod_Check(f)) f = PyInstanceMethod_GET_FUNCTION(f);
    if (f == nullptr || !PyCFunction_Check(f)) return;
    const internals::BoundFunction kind = internals::bound_function_kind(PyCFunction_GET_SELF(f));
    if (kind == internals::BoundFunction::kNotPybind11) return;
    PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(f)->m_ml;
    const auto constructor = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&checked<1>));
    const auto method = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&checked<0>));
    if (def->ml_meth == constructor || def->ml_meth == method) return;
    if (g_dispatch == nullptr) g_dispatch = reinterpret_cast<Dispatch>(reinterpret_cast<void (*)()>(def->ml_meth));
    // `self` of a constructor is the instance being initialised.
    def->ml_meth = kind == internals::BoundFunction::kConstructor ? constructor : method;
}

void guard_member(py::handle member) {
    if (PyObject_TypeCheck(member.ptr(), &PyProperty_Type)) {
        for (const char* accessor : {"fget", "fset"}) guard_function(member.attr(accessor).ptr());
    } else {
        guard_function(member.ptr());  // a method, or a plain function
    }
}

}  // namespace

void guard_uninitialised(py::module_& m) {
    g_instance_base = internals::instance_base_type();
    for (auto item : m.attr("__dict__").cast<py::dict>()) {
        py::handle value = item.second;
        if (!PyType_Check(value.ptr()) || !internals::is_bound_class(reinterpret_cast<PyTypeObject*>(value.ptr())))
            continue;
        for (auto member : value.attr("__dict__").cast<py::dict>()) guard_member(member.second);
    }
}

}  // namespace ostrel_binding
