// The trampoline: each SDK callback passes the exit gate, takes the GIL, holds a strong
// reference to the Python delegate, looks up the override of the same name and calls it with
// converted arguments (records and frames copied).
//
// What happens when the Python class leaves a method out, or the method raises:
//
// | Callbacks                                              | Method missing            | Method raises          |
// |--------------------------------------------------------|---------------------------|------------------------|
// | the eighteen uniform ones (OnError ... OnRemoteMixedAudioReceived, both video callbacks) | error to the SDK: `Tried to call pure virtual function "VONUCloudDelegate::<name>"` | error to the SDK |
// | OnMissCustomCmdMsg                                     | skipped                   | error to the SDK       |
// | OnSeiMessageReceived, OnReceiveCustomCmdMsg, OnNetworkQuality | skipped            | one line on standard error: `python callback <name> error: <text>` |
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

#include "callback_gate.h"
#include "fork_guard.h"

namespace py = pybind11;
using ostrel::vonu::VONUCloudDelegate;
using ostrel_binding::CallbackPass;

namespace {

// One callback's stay in Python: the GIL and a strong reference to the delegate's Python
// object, both taken on construction and given back on destruction, in that order reversed. A
// thread without a thread state (an SDK thread) gets one for the stay, made under the fork
// guard's lock.
class PythonStay {
public:
    explicit PythonStay(const PyVONUCloudDelegate* delegate)
        : delegate_(static_cast<const VONUCloudDelegate*>(delegate)), from_python_(PyGILState_Check() != 0) {
        if (PyGILState_GetThisThreadState() != nullptr) {
            gil_ = PyGILState_Ensure();
        } else {
            own_state_ = ostrel_binding::new_thread_state();
            PyEval_RestoreThread(own_state_);
        }
        // The registry lookup allocates nothing, so no collection can run before the reference
        // is held.
        self_ = py::reinterpret_borrow<py::object>(
            py::detail::get_object_handle(delegate_, py::detail::get_type_info(typeid(VONUCloudDelegate))));
    }
    ~PythonStay() {
        if (abandoned_) return;
        override_ = py::function();
        self_ = py::object();
        if (own_state_ != nullptr) {
            PyThreadState_Clear(own_state_);
            PyThreadState_DeleteCurrent();  // and releases the GIL
        } else {
            PyGILState_Release(gil_);
        }
    }
    PythonStay(const PythonStay&) = delete;
    PythonStay& operator=(const PythonStay&) = delete;

    // The thread held the GIL already: a call made from Python.
    bool from_python() const { return from_python_; }

    // The Python override of `name`; empty when the class does not define it, or when the
    // delegate has no Python object.
    const py::function& find(const char* name) {
        if (self_) override_ = py::get_override(delegate_, name);
        return override_;
    }

    // For a thread that the interpreter ends (a forced unwind): it no longer holds the GIL, so
    // nothing is given back; the references are left to the end of the process.
    void abandon() noexcept {
        override_.release();
        self_.release();
        abandoned_ = true;
    }

private:
    const VONUCloudDelegate* delegate_;  // the native delegate, as the registry knows it
    bool from_python_;                   // the GIL was held before the callback took it
    PyThreadState* own_state_ = nullptr;  // the thread state made for this stay, if any
    PyGILState_STATE gil_{};             // how to give the GIL back otherwise
    bool abandoned_ = false;             // a forced unwind: give nothing back
    py::object self_;                    // the delegate's Python object, held for the whole stay
    py::function override_;              // the override being called
};

// Runs `body(stay)` for one callback and returns what it returns; false when the gate is closed.
// A Python error that leaves the body becomes a std::runtime_error with the same text, made
// under the GIL, unless the call came from Python. (A forced unwind carries no exception object:
// catching it binds a null reference, as the C++ runtime defines it, so the null check is off.)
template <typename Body>
__attribute__((no_sanitize("null"))) bool in_python(const PyVONUCloudDelegate* self, Body&& body) {
    CallbackPass pass(self);
    if (!pass) return true;  // the interpreter is exiting: nothing to run and nothing missing
    std::string error_text;
    bool raised = false;
    bool result;
    {
        PythonStay stay(self);
        try {
            result = body(stay);
        } catch (abi::__forced_unwind&) {
            stay.abandon();
            throw;
        } catch (py::error_already_set& e) {
            if (stay.from_python()) throw;
            ostrel_binding::end_forked_child(&e);
            error_text = e.what();
            raised = true;
        }
        if (!raised) ostrel_binding::end_forked_child(nullptr);
    }
    if (raised) throw std::runtime_error(error_text);
    return result;
}

// Uniform forwarding: call the override with the arguments, ignoring its result; without one,
// throw `Tried to call pure virtual function "VONUCloudDelegate::<name>"` (after the GIL is
// released) when `required`, else do nothing.
template <typename... Args>
void forward(const PyVONUCloudDelegate* self, const char* name, bool required, const Args&... args) {
    const bool found = in_python(self, [&](PythonStay& stay) {
        const py::function& override_fun = stay.find(name);
        if (!override_fun) return false;
        override_fun(args...);
        return true;
    });
    if (!found && required) {
        throw std::runtime_error(std::string("Tried to call pure virtual function \"VONUCloudDelegate::") + name +
                                 "\"");
    }
}

}  // namespace

void PyVONUCloudDelegate::OnError(Error error) { forward(this, "OnError", true, error); }

void PyVONUCloudDelegate::OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) {
    forward(this, "OnConnectionStateChanged", true, old_state, new_state);
}

void PyVONUCloudDelegate::OnEnterRoom() { forward(this, "OnEnterRoom", true); }

void PyVONUCloudDelegate::OnExitRoom() { forward(this, "OnExitRoom", true); }

void PyVONUCloudDelegate::OnLocalAudioChannelCreated() { forward(this, "OnLocalAudioChannelCreated", true); }

void PyVONUCloudDelegate::OnLocalAudioChannelDestroyed() { forward(this, "OnLocalAudioChannelDestroyed", true); }

void PyVONUCloudDelegate::OnLocalVideoChannelCreated(StreamType stream_type) {
    forward(this, "OnLocalVideoChannelCreated", true, stream_type);
}

void PyVONUCloudDelegate::OnLocalVideoChannelDestroyed(StreamType stream_type) {
    forward(this, "OnLocalVideoChannelDestroyed", true, stream_type);
}

void PyVONUCloudDelegate::OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) {
    forward(this, "OnRequestChangeVideoEncodeBitrate", true, stream_type, bitrate_bps);
}

void PyVONUCloudDelegate::OnRequestKeyFrame(StreamType stream_type) {
    forward(this, "OnRequestKeyFrame", true, stream_type);
}

void PyVONUCloudDelegate::OnRemoteUserEnterRoom(const UserInfo& info) {
    forward(this, "OnRemoteUserEnterRoom", true, info);
}

void PyVONUCloudDelegate::OnRemoteUserExitRoom(const UserInfo& info, int reason) {
    forward(this, "OnRemoteUserExitRoom", true, info, reason);
}

void PyVONUCloudDelegate::OnRemoteAudioAvailable(const char* user_id, bool available) {
    forward(this, "OnRemoteAudioAvailable", true, user_id, available);
}

void PyVONUCloudDelegate::OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) {
    forward(this, "OnRemoteVideoAvailable", true, user_id, available, type);
}

void PyVONUCloudDelegate::OnRemoteVideoReceived(const char* user_id, StreamType type, const VideoFrame& frame) {
    forward(this, "OnRemoteVideoFrameReceived", true, user_id, type, frame);
}

void PyVONUCloudDelegate::OnRemoteVideoReceived(const char* user_id, StreamType type, const PixelFrame& frame) {
    forward(this, "OnRemotePixelFrameReceived", true, user_id, type, frame);
}

void PyVONUCloudDelegate::OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) {
    forward(this, "OnRemoteAudioReceived", true, user_id, frame);
}

void PyVONUCloudDelegate::OnRemoteMixedAudioReceived(const AudioFrame& frame) {
    forward(this, "OnRemoteMixedAudioReceived", true, frame);
}

void PyVONUCloudDelegate::OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code,
                                             uint32_t missed) {
    forward(this, "OnMissCustomCmdMsg", false, user_id, cmd_id, error_code, missed);
}

namespace {

// The catching callbacks report a failure on standard error and return normally. A thread
// being ended by the interpreter (a forced unwind) is never swallowed.
template <typename Body>
__attribute__((no_sanitize("null"))) void call_and_report(const char* name, Body&& body) {
    try {
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (py::error_already_set& e) {
        ostrel_binding::end_forked_child(&e);
        std::cerr << "python callback " << name << " error: " << e.what() << std::endl;
        PyErr_Clear();
    } catch (...) {
        std::cerr << "unknown error" << std::endl;
    }
}

// Runs one catching callback: `body(override)` only when the class defines the method.
template <typename Body>
void forward_caught(const PyVONUCloudDelegate* self, const char* name, Body&& body) {
    in_python(self, [&](PythonStay& stay) {
        call_and_report(name, [&] {
            const py::function& override_fun = stay.find(name);
            if (override_fun) body(override_fun);
        });
        return true;
    });
}

py::bytes message_bytes(const char* message, size_t length) {
    // A null message carries no bytes whatever its stated length.
    return message == nullptr ? py::bytes("", 0) : py::bytes(message, length);
}

// The SEI and custom command callbacks: build the message bytes only when an override exists,
// and hand them over after the other arguments.
template <typename... Args>
void forward_message(const PyVONUCloudDelegate* self, const char* name, const char* message, size_t length,
                     const Args&... args) {
    forward_caught(self, name, [&](const py::function& override_fun) {
        py::bytes msg = message_bytes(message, length);
        override_fun(args..., msg);
    });
}

}  // namespace

void PyVONUCloudDelegate::OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type,
                                               const char* message, size_t length) {
    forward_message(this, "OnSeiMessageReceived", message, length, user_id, stream_type, message_type);
}

void PyVONUCloudDelegate::OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq,
                                                const char* message, size_t length) {
    forward_message(this, "OnReceiveCustomCmdMsg", message, length, user_id, cmd_id, seq);
}

void PyVONUCloudDelegate::OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                                           size_t remote_quality_count) {
    forward_caught(this, "OnNetworkQuality", [&](const py::function& override_fun) {
        py::object local_arg = local_quality != nullptr
                                   ? py::cast(*local_quality, py::return_value_policy::copy)
                                   : py::cast(NetworkQualityInfo(), py::return_value_policy::move);
        py::list remote_args;
        for (size_t i = 0; i < remote_quality_count; ++i) {
            remote_args.append(py::cast(remote_qualities[i], py::return_value_policy::copy));
        }
        override_fun(local_arg, remote_args);
    });
}

namespace ostrel_binding {

void bind_delegate(py::module_& m) {
    using namespace ostrel::vonu;
    using Base = VONUCloudDelegate;
    py::class_<Base, PyVONUCloudDelegate, std::shared_ptr<Base>>(m, "VONUCloudDelegate")
        .def(py::init<>())
        .def("OnError", &Base::OnError)
        .def("OnConnectionStateChanged", &Base::OnConnectionStateChanged)
        .def("OnEnterRoom", &Base::OnEnterRoom)
        .def("OnExitRoom", &Base::OnExitRoom)
        .def("OnLocalAudioChannelCreated", &Base::OnLocalAudioChannelCreated)
        .def("OnLocalAudioChannelDestroyed", &Base::OnLocalAudioChannelDestroyed)
        .def("OnLocalVideoChannelCreated", &Base::OnLocalVideoChannelCreated)
        .def("OnLocalVideoChannelDestroyed", &Base::OnLocalVideoChannelDestroyed)
        .def("OnRemoteUserEnterRoom", &Base::OnRemoteUserEnterRoom)
        .def("OnRemoteUserExitRoom", &Base::OnRemoteUserExitRoom)
        .def("OnRemoteAudioAvailable", &Base::OnRemoteAudioAvailable)
        .def("OnRemoteVideoAvailable", &Base::OnRemoteVideoAvailable)
        .def("OnRemoteAudioReceived", &Base::OnRemoteAudioReceived)
        .def("OnRemoteMixedAudioReceived", &Base::OnRemoteMixedAudioReceived)
        .def("OnRemoteVideoFrameReceived",
             static_cast<void (Base::*)(const char*, StreamType, const VideoFrame&)>(&Base::OnRemoteVideoReceived))
        .def("OnRemotePixelFrameReceived",
             static_cast<void (Base::*)(const char*, StreamType, const PixelFrame&)>(&Base::OnRemoteVideoReceived))
        .def("OnRequestKeyFrame", &Base::OnRequestKeyFrame)
        .def("OnRequestChangeVideoEncodeBitrate", &Base::OnRequestChangeVideoEncodeBitrate)
        .def("OnSeiMessageReceived", &Base::OnSeiMessageReceived)
        .def("OnReceiveCustomCmdMsg", &Base::OnReceiveCustomCmdMsg)
        .def("OnMissCustomCmdMsg", &Base::OnMissCustomCmdMsg)
        .def("OnNetworkQuality", &Base::OnNetworkQuality);
}

}  // namespace ostrel_binding
