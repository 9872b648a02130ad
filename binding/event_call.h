// How a callback calls its Python method: EventCall{method}(arguments...) converts each argument
// and makes one vectorcall, without the keyword and unpacking machinery of pybind11's general
// call, and without a bound method when the method is a function of the object's class.
//
// A record or enum argument (any bound class type) becomes a new Python object holding a copy,
// as py::cast(value, return_value_policy::copy) makes it, through internals::record_copy, which
// finds the class once per type and does not search the registry for the SDK's address (the
// callback's values are the SDK's; the table copies every record). A bool, an integer or a C
// string becomes what pybind11's caster makes of it (an int of the same value; None for a null
// string, else its UTF-8 text, a decoding error raised as pybind11 raises it), made here with
// one C API call; any other argument goes through py::cast with the policy of pybind11's own
// call (automatic_reference), and Python objects pass as they are.
#ifndef OSTREL_EVENT_CALL_H_
#define OSTREL_EVENT_CALL_H_

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "internals.h"

namespace ostrel_binding {

namespace py = pybind11;

// A new reference as an object; the Python error, thrown, when it is null.
inline py::object steal_or_throw(PyObject* made) {
    if (made == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
}

// One argument as Python receives it.
template <typename T>
py::object to_python(T&& value) {
    using Plain = std::decay_t<T>;
    if constexpr (std::is_base_of_v<py::object, Plain> && !std::is_lvalue_reference_v<T>) {
        return std::move(value);  // a temporary made for the call: its reference is passed on
    } else if constexpr (std::is_base_of_v<py::handle, Plain>) {
        return py::reinterpret_borrow<py::object>(value);
    } else if constexpr (std::is_class_v<Plain> || std::is_enum_v<Plain>) {
        return internals::record_copy<Plain>(value);
    } else if constexpr (std::is_same_v<Plain, bool>) {
        return py::reinterpret_borrow<py::object>(value ? Py_True : Py_False);
    } else if constexpr (std::is_integral_v<Plain> && std::is_signed_v<Plain>) {
        return steal_or_throw(PyLong_FromLongLong(value));
    } else if constexpr (std::is_integral_v<Plain>) {
        return steal_or_throw(PyLong_FromUnsignedLongLong(value));
    } else if constexpr (std::is_same_v<Plain, const char*> || std::is_same_v<Plain, char*>) {
        // None for a null pointer, else the text decoded as UTF-8 (strict), as pybind11's caster does.
        if (value == nullptr) return py::none();
        return steal_or_throw(PyUnicode_DecodeUTF8(value, static_cast<Py_ssize_t>(std::strlen(value)), nullptr));
    } else {
        // The policy of pybind11's own call: a pointer stays the SDK's, never Python's to delete.
        return py::cast(std::forward<T>(value), py::return_value_policy::automatic_reference);
    }
}

// A Python method found for an event, as Python's own method calls find one: a plain function
// of the object's class, with the object to pass as its first argument (no bound method is made
// for the call), or any other callable (a bound method, say), with no object, called as it is.
struct PythonMethod {
    py::object callable;  // empty when there is no method
    py::handle self;      // passed first when set; held by whoever found the method

    explicit operator bool() const { return static_cast<bool>(callable); }
};

// The call of one Python method; what it returns is dropped, what it raises is thrown as
// py::error_already_set.
class EventCall {
public:
    explicit EventCall(const PythonMethod& method) : method_(method) {}

    template <typename... Args>
    void operator()(Args&&... args) const {
        const std::array<py::object, sizeof...(Args)> objects{to_python(std::forward<Args>(args))...};
        // Slot 0 is the object for a function of its class; otherwise it is left free, which lets
        // a bound method put its object there instead of copying the arguments.
        std::array<PyObject*, sizeof...(Args) + 1> raw{};
        raw[0] = method_.self.ptr();
        for (size_t i = 0; i < objects.size(); ++i) raw[i + 1] = objects[i].ptr();
        PyObject* result = raw[0] != nullptr ? internals::vectorcall(method_.callable.ptr(), raw.data(), raw.size())
                                             : internals::vectorcall(method_.callable.ptr(), raw.data() + 1,
                                                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET);
        if (result == nullptr) throw py::error_already_set();
        Py_DECREF(result);
    }

private:
    const PythonMethod& method_;  // the method being called, held by the caller
};

}  // namespace ostrel_binding

#endif  // OSTREL_EVENT_CALL_H_
