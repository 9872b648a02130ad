// The trampoline: each SDK callback passes the exit gate, takes the GIL, holds a strong
// reference to the Python delegate, looks up the Python method that the delegate event table
// names and calls it with the table's Python arguments (records and frames copied). Every
// callback has one body, dispatch(), and the table's policy of the event says what happens when
// the Python class leaves the method out, or the method raises:
//
// | Policy                   | Method missing                          | Method raises                     |
// |--------------------------|-----------------------------------------|-----------------------------------|
// | kRequired                | error to the SDK: `Tried to call pure virtual function "VONUCloudDelegate::<name>"` | error to the SDK |
// | kSkippedWhenMissing      | skipped                                 | error to the SDK                  |
// | kReportedOnStandardError | skipped, no argument built              | one line on standard error: `python callback <name> error: <text>` |
//
// A report on standard error is also kept, with the GIL held, in the record of reported errors
// (reported_errors.h), from which a test collects it.
//
// An error that goes to the SDK leaves the callback as a std::runtime_error whose what() is the
// text pybind11 gives the Python error (type, message and traceback). It is made while the GIL
// is held and holds no Python reference, so the SDK may inspect and destroy it on its own thread
// at any time, also while the interpreter is exiting. Called from Python instead (a registered
// method invoked on a subclass instance), the Python error goes back to Python unchanged.
//
// The strong reference to the delegate is taken before anything can allocate, so the garbage
// collector, should it run inside the callback, never frees the delegate (or collects the cycle
// it is part of) while the callback uses it. Everything that touches Python happens between
// passing the gate and leaving it.
#include "delegate.h"

#include <cxxabi.h>

#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "bindings.h"
#include "callback_gate.h"
#include "delegate_object.h"
#include "event_call.h"
#include "fork_guard.h"
#include "internals.h"
#include "reported_errors.h"
#include "thread_state.h"

namespace py = pybind11;
using ostrel::vonu::NetworkQualityInfo;
using ostrel::vonu::VONUCloudDelegate;
using ostrel_binding::CallbackPass;

namespace {

// The Python class VONUCloudDelegate, set once when it is bound (before any cloud, so before any
// callback).
PyTypeObject* g_delegate_type = nullptr;

// The Python name of an event: its text, and the same as an interned str, made at the event's
// first callback (with the GIL held) and kept for the life of the process.
class EventName {
public:
    constexpr explicit EventName(const char* text) : text_(text) {}
    EventName(const EventName&) = delete;
    EventName& operator=(const EventName&) = delete;

    const char* text() const { return text_; }

    // Called with the GIL held; raises the Python error when the str cannot be made.
    PyObject* interned() {
        if (interned_ == nullptr && (interned_ = PyUnicode_InternFromString(text_)) == nullptr) {
            throw py::error_already_set();
        }
        return interned_;
    }

private:
    const char* text_;              // the method's name; pybind11's override cache keys on this pointer
    PyObject* interned_ = nullptr;  // a strong reference, never given back
};

// A plain function that the class of `self` defines (or inherits) as `name`, when an attribute
// lookup of `name` on `self` would bind exactly that function: the class uses the generic
// attribute lookup and the object's own dict does not shadow the name. Null otherwise. This is
// how Python's own method calls avoid making a bound method; the result is borrowed.
PyObject* class_function(py::handle self, EventName& name) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject* found = ostrel_binding::internals::class_attribute(type, name.interned());
    if (found == nullptr || !PyFunction_Check(found)) return nullptr;
    PyObject** dict = ostrel_binding::internals::instance_dict(self.ptr());
    if (dict != nullptr && *dict != nullptr) {
        if (PyDict_GetItemWithError(*dict, name.interned()) != nullptr) return nullptr;
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return found;
}

// What py::get_override(delegate, name) gives when the thread runs no Python frame (so that
// pybind11's test for a call from the override itself does not apply), for the delegate's
// object `self` found already: the same cache of methods a class does not override, the same
// attribute lookup (with the name interned), the same test for the bound C++ method, the same
// TypeError for an attribute that cannot be called. A function of the class comes unbound, with
// `self` to pass first.
ostrel_binding::PythonMethod override_from_native(py::handle self, EventName& name) {
    if (PyObject* function = class_function(self, name)) {
        return {py::reinterpret_borrow<py::object>(function), self};
    }
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (ostrel_binding::internals::not_overridden(type, name.text())) return {};
    PyObject* found = PyObject_GetAttr(self.ptr(), name.interned());
    if (found == nullptr) {
        PyErr_Clear();
        return {};
    }
    py::function method = py::reinterpret_steal<py::object>(found);
    if (method.is_cpp_function()) {
        ostrel_binding::internals::note_not_overridden(type, name.text());
        return {};
    }
    return {std::move(method), py::handle()};
}

// What one callback holds while it is in Python: the GIL and a strong reference to the
// delegate's Python object, both taken on construction and given back on destruction, in that
// order reversed. An SDK thread takes the GIL with the thread state it keeps (thread_state.h),
// made at its first callback; a thread of Python's own takes it with its own state. Before the
// GIL goes, the states of SDK threads that have ended meanwhile are released.
class GilAndDelegateScope {
public:
    // For the callback that `pass` let in.
    GilAndDelegateScope(const PyVONUCloudDelegate* delegate, const CallbackPass& pass)
        : delegate_(static_cast<const VONUCloudDelegate*>(delegate)),
          link_(delegate->python_object),
          pass_(pass),
          from_python_(!pass.from_sdk()) {
        if (!from_python_ && (kept_ = ostrel_binding::kept_thread_state()) != nullptr) {
            PyEval_RestoreThread(kept_);
        } else if (PyGILState_GetThisThreadState() != nullptr) {
            gil_ = PyGILState_Ensure();
        } else {
            kept_ = ostrel_binding::keep_new_thread_state();
            PyEval_RestoreThread(kept_);
        }
        // Finding the object allocates nothing, so no collection can run before the reference is
        // held. (Remembering it may: find(name) does it, inside the callback's protected body.)
        self_ = py::reinterpret_borrow<py::object>(link_.find(delegate_, g_delegate_type));
    }
    ~GilAndDelegateScope() {
        if (abandoned_) return;
        override_ = ostrel_binding::PythonMethod();
        self_ = py::object();
        ostrel_binding::release_ended_thread_states();  // while the GIL is held anyway
        ostrel_binding::release_left_weak_references();
        if (kept_ != nullptr) {
            PyEval_SaveThread();  // the state stays with the thread
        } else {
            PyGILState_Release(gil_);
        }
    }
    GilAndDelegateScope(const GilAndDelegateScope&) = delete;
    GilAndDelegateScope& operator=(const GilAndDelegateScope&) = delete;

    // The thread held the GIL already: a call made from Python.
    bool from_python() const { return from_python_; }
    // The callback's pass through the exit gate, the thread's innermost callback.
    const CallbackPass& pass() const { return pass_; }

    // The Python override of `name`; empty when the class does not define it, or when the
    // delegate has no Python object.
    const ostrel_binding::PythonMethod& find(EventName& name) {
        if (!self_) return override_;
        link_.remember(self_.ptr());  // may run Python code (a collection), so not in the constructor
        if (!ostrel_binding::internals::runs_python_frame()) {
            override_ = override_from_native(self_, name);
        } else {
            override_ = {py::get_override(delegate_, name.text()), py::handle()};
        }
        return override_;
    }

    // For a thread that the interpreter ends (a forced unwind): it no longer holds the GIL, so
    // nothing is given back; the references are left to the end of the process.
    void abandon() noexcept {
        override_.callable.release();
        self_.release();
        abandoned_ = true;
    }

private:
    const VONUCloudDelegate* delegate_;         // the native delegate, as the registry knows it
    ostrel_binding::DelegateObjectLink& link_;  // the delegate's link to its Python object
    const CallbackPass& pass_;                  // see pass()
    bool from_python_;                          // the GIL was held before the callback took it
    PyThreadState* kept_ = nullptr;             // the SDK thread's kept thread state, if it runs on it
    PyGILState_STATE gil_{};                    // how to give the GIL back otherwise
    bool abandoned_ = false;                    // a forced unwind: give nothing back
    py::object self_;                           // the delegate's Python object, held for the whole callback
    ostrel_binding::PythonMethod override_;     // the override being called
};

// Runs `body(scope)` for one callback and returns what it returns; false when the gate is closed.
// A Python error that leaves the body becomes a std::runtime_error with the same text, made
// under the GIL, unless the call came from Python. (A forced unwind carries no exception object:
// catching it binds a null reference, as the C++ runtime defines it, so the null check is off.)
template <typename Body>
__attribute__((no_sanitize("null"))) bool in_python(const PyVONUCloudDelegate* self, Body&& body) {
    CallbackPass pass(self, self->callbacks_inside);
    if (!pass) return true;  // the interpreter is exiting: nothing to run and nothing missing
    std::string error_text;
    bool raised = false;
    bool result;
    {
        GilAndDelegateScope scope(self, pass);
        try {
            result = body(scope);
        } catch (abi::__forced_unwind&) {
            scope.abandon();
            throw;
        } catch (py::error_already_set& e) {
            if (scope.from_python()) throw;
            ostrel_binding::end_forked_child(pass, &e);
            error_text = e.what();
            raised = true;
        }
        if (!raised) ostrel_binding::end_forked_child(pass, nullptr);
    }
    if (raised) throw std::runtime_error(error_text);
    return result;
}

// A report on standard error for a failing event of policy kReportedOnStandardError, inside the
// callback that `pass` let in; the callback then returns normally. A Python error is moved out of the indicator into `e` when pybind11
// throws it, so nothing is left to clear: `e` releases it when the handler ends, with the GIL
// still held. A thread being ended by the interpreter (a forced unwind) is never swallowed. The
// report is kept in the record of reported errors too, unless the callback was disowned while it
// ran (the epoch it started in has passed).
template <typename Body>
__attribute__((no_sanitize("null"))) void call_and_report(const CallbackPass& pass, const char* name, Body&& body) {
    const uint64_t epoch = ostrel_binding::reported_errors_epoch();
    try {
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (py::error_already_set& e) {
        ostrel_binding::end_forked_child(pass, &e);
        const std::string line = std::string("python callback ") + name + " error: " + e.what();
        std::cerr << line << std::endl;
        ostrel_binding::keep_reported_error(epoch, line);
    } catch (...) {
        std::cerr << "unknown error" << std::endl;
        ostrel_binding::keep_reported_error(epoch, std::string("python callback ") + name + " error: unknown error");
    }
}

// The helpers that the table's Python arguments are written with.

py::bytes message_bytes(const char* message, size_t length) {
    // A null message carries no bytes whatever its stated length.
    return message == nullptr ? py::bytes("", 0) : py::bytes(message, length);
}

py::object quality_record(const NetworkQualityInfo* quality) {
    return ostrel_binding::internals::record_copy(quality != nullptr ? *quality : NetworkQualityInfo());
}

py::list quality_list(const NetworkQualityInfo* qualities, size_t count) {
    py::list records;
    for (size_t i = 0; i < count; ++i) records.append(ostrel_binding::internals::record_copy(qualities[i]));
    return records;
}

// The one body of every callback: finds the Python method `name` and, when there is one, runs
// `call(method)`, which builds the Python arguments and calls it; `policy` decides what a missing
// method and a failure become. Without a method, an event of kRequired throws after the GIL is
// released.
template <DelegateEventPolicy policy, typename Call>
void dispatch(const PyVONUCloudDelegate* self, EventName& name, Call&& call) {
    if constexpr (policy == DelegateEventPolicy::kReportedOnStandardError) {
        in_python(self, [&](GilAndDelegateScope& scope) {
            call_and_report(scope.pass(), name.text(), [&] {
                const ostrel_binding::PythonMethod& method = scope.find(name);
                if (method) call(method);
            });
            return true;
        });
    } else {
        const bool found = in_python(self, [&](GilAndDelegateScope& scope) {
            const ostrel_binding::PythonMethod& method = scope.find(name);
            if (!method) return false;
            call(method);
            return true;
        });
        if (!found && policy == DelegateEventPolicy::kRequired) {
            throw std::runtime_error(std::string("Tried to call pure virtual function \"VONUCloudDelegate::") +
                                     name.text() + "\"");
        }
    }
}

}  // namespace

// Each override hands dispatch() the event's Python name and a call that passes the table's
// Python arguments (event_call.h); what the method returns is ignored.
#define OSTREL_DEFINE_OVERRIDE(member, python_name, policy, parameters, python_arguments)                   \
    void PyVONUCloudDelegate::member parameters {                                                           \
        static EventName name(#python_name);                                                                \
        dispatch<DelegateEventPolicy::policy>(this, name, [&](const ostrel_binding::PythonMethod& method) { \
            ostrel_binding::EventCall{method} python_arguments;                                             \
        });                                                                                                 \
    }
OSTREL_DELEGATE_EVENTS(OSTREL_DEFINE_OVERRIDE)
#undef OSTREL_DEFINE_OVERRIDE

namespace ostrel_binding {

// Each Python method is the SDK operation itself, so that its signature is the native one, with
// pybind11's default parameter names; a call from Python runs the trampoline like the SDK's.
void bind_delegate(py::module_& m) {
    using Base = VONUCloudDelegate;
    py::class_<Base, PyVONUCloudDelegate, std::shared_ptr<Base>> delegate(m, "VONUCloudDelegate");
    delegate.def(py::init<>());
    g_delegate_type = reinterpret_cast<PyTypeObject*>(py::type::of<Base>().ptr());
#define OSTREL_REGISTER_METHOD(member, python_name, policy, parameters, python_arguments) \
    delegate.def(#python_name, static_cast<void(Base::*) parameters>(&Base::member));
    OSTREL_DELEGATE_EVENTS(OSTREL_REGISTER_METHOD)
#undef OSTREL_REGISTER_METHOD
}

}  // namespace ostrel_binding
