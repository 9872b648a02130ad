// Where the binding reaches past the public interfaces of pybind11 and CPython: every such use
// is here, and nowhere else, so that an upgrade of either has one file to check.
//
// Design note. The binding is pybind11 code with a per-event fast path: an SDK callback finds the
// delegate's Python object and its override, copies records into new Python objects and calls
// the override. pybind11's public route does each step by asking its registry (a type looked up
// by the hash of its name, the instance map searched, a bound method made per call) and CPython's
// public API does not reach a thread's frame in 3.8; the internals below take the short way, the
// same steps pybind11 itself takes. A few more serve things pybind11 offers no hook for. Each
// entry names the internals it uses, says what it is for and what that saves, and what takes
// its place when the pin moves ("Then"):
//
// - record_copy, record_adopt: pybind11's type_info, make_new_instance, value_and_holder, register_instance.
//   Each record or frame a callback passes becomes a new Python object with the class found once
//   per type, not by the hash of its name on every call, and without a search of the registry
//   for an object at the SDK's address. Then: py::cast(value, return_value_policy::copy).
// - registered_instance: pybind11's instance map. The delegate's Python object, found when its
//   weak reference (delegate_object.h) is gone, in one search without pybind11's cache of the
//   type's bases. Then: py::cast(native, return_value_policy::reference), which finds the same
//   object (and would make one where there is none).
// - not_overridden, note_not_overridden: pybind11's cache of the methods a class leaves out. The
//   override lookup from an SDK thread shares it with py::get_override and so skips a failing
//   attribute lookup per event. Then: py::get_override alone, which also inspects the frame.
// - instance_base_type, is_bound_class, holds_no_value, bound_function_kind: pybind11's instance
//   layout, get_internals, get_type_info, function_record. The check for instances whose
//   __init__ never ran (init_guard.h), put in front of pybind11's dispatcher; there is no public
//   hook for it. Then: see whether the new pybind11 refuses such instances itself before
//   dropping the guard, or re-check these four against it.
// - held_value, visit_kept_alive, clear_kept_alive: value_and_holder, the keep-alive "patients",
//   clear_patients. VONUCloud's finalizer and collector slots: the wrapper of an object being
//   collected, and the delegate it keeps alive made visible to the collector. Then:
//   py::handle::cast<T*>() for the first; keep-alive references have no public view, so the
//   cloud would keep its delegate in a field of its own.
// - runs_python_frame: PyThreadState::frame (3.8). Whether a callback was called from Python
//   code; when not, the override lookup skips pybind11's frame inspection. Then:
//   PyThreadState_GetFrame (3.9 and later).
// - class_attribute, instance_dict: _PyType_Lookup, _PyObject_GetDictPtr. An override that is a
//   plain function of the class is called unbound, as Python's own method calls do: no bound
//   method per event. Then: PyObject_GetAttr (a bound method per call).
// - vectorcall: _PyObject_Vectorcall (the 3.8 name). One call with the arguments in place, no
//   tuple. Then: PyObject_Vectorcall (3.9 and later).
// - current_thread_state: _PyThreadState_UncheckedGet. Whether a kept thread state holds the GIL
//   in one load, without a thread-specific key. Then: PyThreadState_GetUnchecked (3.13).
// - finalizing: _Py_IsFinalizing. Thread states and weak references are left to the interpreter
//   once it exits. Then: Py_IsFinalizing (3.13).
//
// Everything here is called with the GIL held (current_thread_state() and finalizing()
// excepted, which any thread may call). The checks below stop the build, rather than let the binding misbehave, when pybind11
// or CPython is not the one these uses were written against: check each use above against the
// new version (and bench/instructions.py before and after), then move the checks and the pin in
// pyproject.toml together.
#ifndef OSTREL_INTERNALS_H_
#define OSTREL_INTERNALS_H_

#include <pybind11/pybind11.h>

#include <memory>
#include <new>
#include <typeinfo>

static_assert(PYBIND11_VERSION_MAJOR == 3 && PYBIND11_VERSION_MINOR == 0,
              "binding/internals.h uses pybind11 3.0's internals: check each use it lists against this "
              "pybind11, then update this check and the pin in pyproject.toml");
static_assert(PYBIND11_INTERNALS_VERSION == 11,
              "binding/internals.h uses pybind11's internals version 11 (the registry, the override "
              "cache, keep-alive patients): check each use it lists against this layout");
static_assert(PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION == 8,
              "binding/internals.h uses CPython 3.8's thread state and private calls: see the "
              "replacement it names for each");

namespace ostrel_binding::internals {

namespace py = pybind11;

// pybind11

// A new Python object of `Record`'s bound class owning a copy of `record`, as py::cast(record,
// return_value_policy::copy) makes it, but with the class found once per type (at the first
// call, under the GIL; bound for the life of the module), and without asking the registry
// whether an object already lives at the record's address. Raises what pybind11 raises for a
// type that is not bound.
//
// For a class held by std::unique_ptr (every record's default), the holder is made and the
// instance registered here, as the class's init_instance does after its own by-name lookup of
// the type; any other holder goes through init_instance.
//
// record_adopt is the same for a record already copied (by the binding's queued delivery, on an
// SDK thread): the new object owns `record` itself.
template <typename Record>
py::object record_adopt(std::unique_ptr<Record> record) {
    static const py::detail::type_info* const type = py::detail::get_type_info(typeid(Record), true);
    using Holder = std::unique_ptr<Record>;
    auto object = py::reinterpret_steal<py::object>(py::detail::make_new_instance(type->type));
    auto* instance = reinterpret_cast<py::detail::instance*>(object.ptr());
    instance->owned = true;
    py::detail::value_and_holder slot = instance->get_value_and_holder(type);
    slot.value_ptr() = record.release();
    if (type->holder_enum_v != py::detail::holder_enum_t::std_unique_ptr) {
        type->init_instance(instance, nullptr);
        return object;
    }
    py::detail::register_instance(instance, slot.value_ptr(), type);
    slot.set_instance_registered();
    new (std::addressof(slot.holder<Holder>())) Holder(slot.value_ptr<Record>());
    slot.set_holder_constructed();
    return object;
}

template <typename Record>
py::object record_copy(const Record& record) {
    return record_adopt(std::make_unique<Record>(record));
}

// The object registered at `native` whose type is `type` or derives from it, borrowed; null when
// there is none. Allocates nothing.
inline PyObject* registered_instance(const void* native, PyTypeObject* type) {
    return py::detail::with_instance_map(native, [&](py::detail::instance_map& instances) -> PyObject* {
        const auto range = instances.equal_range(native);
        for (auto it = range.first; it != range.second; ++it) {
            auto* found = reinterpret_cast<PyObject*>(it->second);
            if (PyType_IsSubtype(Py_TYPE(found), type)) return found;
        }
        return nullptr;
    });
}

// pybind11's cache of the methods a Python class does not override (which py::get_override keeps
// too): whether `name` (the pointer, as pybind11 keys it) is known not to be overridden by
// `type`, and noting that it is not.
inline bool not_overridden(PyTypeObject* type, const char* name) {
    const auto key = std::make_pair(static_cast<const PyObject*>(reinterpret_cast<PyObject*>(type)), name);
    return py::detail::with_internals(
        [&key](py::detail::internals& internals) { return internals.inactive_override_cache.count(key) != 0; });
}
inline void note_not_overridden(PyTypeObject* type, const char* name) {
    const auto key = std::make_pair(static_cast<const PyObject*>(reinterpret_cast<PyObject*>(type)), name);
    py::detail::with_internals(
        [&key](py::detail::internals& internals) { internals.inactive_override_cache.insert(key); });
}

// The base type of every pybind11 instance.
inline PyTypeObject* instance_base_type() {
    return reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
}

// Whether the pybind11 instance `o` (of a type deriving from instance_base_type()) lacks the
// native value of one of its bound classes: its __init__ never ran.
inline bool holds_no_value(PyObject* o) {
    auto* inst = reinterpret_cast<py::detail::instance*>(o);
    if (inst->simple_layout) return inst->simple_value_holder[0] == nullptr;
    for (auto v_h : py::detail::values_and_holders(inst)) {
        if (v_h.value_ptr() == nullptr) return true;
    }
    return false;
}

// Whether `type` is a class that pybind11 bound.
inline bool is_bound_class(PyTypeObject* type) { return py::detail::get_type_info(type) != nullptr; }

// What the `self` of a built-in function is: pybind11's record of a bound function (a
// constructor or any other), or something else.
enum class BoundFunction { kNotPybind11, kFunction, kConstructor };
inline BoundFunction bound_function_kind(PyObject* function_self) {
    if (function_self == nullptr || !py::detail::is_function_record_PyObject(function_self)) {
        return BoundFunction::kNotPybind11;
    }
    return py::detail::function_record_ptr_from_PyObject(function_self)->is_constructor ? BoundFunction::kConstructor
                                                                                        : BoundFunction::kFunction;
}

// The `T` that the instance `self` holds through std::unique_ptr<T>; null when it holds none
// (its __init__ never ran, or the holder was released).
template <typename T>
T* held_value(PyObject* self) {
    py::detail::value_and_holder v_h =
        reinterpret_cast<py::detail::instance*>(self)->get_value_and_holder(py::detail::get_type_info(typeid(T)));
    if (!v_h || !v_h.holder_constructed()) return nullptr;
    return v_h.holder<std::unique_ptr<T>>().get();
}

// The objects that py::keep_alive keeps alive for `self`, shown to the collector (a tp_traverse
// body), and let go (a tp_clear body).
inline int visit_kept_alive(PyObject* self, visitproc visit, void* arg) {
    if (!reinterpret_cast<py::detail::instance*>(self)->has_patients) return 0;
    auto& patients = py::detail::get_internals().patients;
    const auto found = patients.find(self);
    if (found != patients.end()) {
        for (PyObject* patient : found->second) Py_VISIT(patient);
    }
    return 0;
}
inline void clear_kept_alive(PyObject* self) {
    if (reinterpret_cast<py::detail::instance*>(self)->has_patients) py::detail::clear_patients(self);
}

// CPython 3.8

// Whether the calling thread runs Python code: a frame is active.
inline bool runs_python_frame() { return PyThreadState_Get()->frame != nullptr; }

// `name` (a str) as `type` or a base defines it, borrowed, without calling descriptors; null when
// none does. Sets no error.
inline PyObject* class_attribute(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// Where `o` keeps its __dict__ (null when its type has none; the slot may hold null).
inline PyObject** instance_dict(PyObject* o) { return _PyObject_GetDictPtr(o); }

// Calls `callable` with `nargsf` positional arguments at `args` (nargsf may carry
// PY_VECTORCALL_ARGUMENTS_OFFSET); a new reference, or null with the error set.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf) {
    return _PyObject_Vectorcall(callable, args, nargsf, nullptr);
}

// The calling thread's current thread state, null when it has none; any thread may ask.
inline PyThreadState* current_thread_state() { return _PyThreadState_UncheckedGet(); }

// Whether the interpreter has begun to finalize; any thread may ask.
inline bool finalizing() { return _Py_IsFinalizing() != 0; }

}  // namespace ostrel_binding::internals

#endif  // OSTREL_INTERNALS_H_
