#include "delegate.h"

#include <cxxabi.h>

#include <iostream>
#include <memory>

#include "callback_gate.h"

namespace py = pybind11;
using ostrel::vonu::VONUCloudDelegate;
using ostrel_binding::CallbackPass;

// Uniform forwarding: call the Python override with converted arguments (records and frames
// are copied), or, when the class does not define the method, release the GIL and throw
// `Tried to call pure virtual function "VONUCloudDelegate::<name>"` towards the SDK.
#define OSTREL_FORWARD(name, ...)                                                  \
    CallbackPass pass;                                                             \
    if (!pass) return;                                                             \
    PYBIND11_OVERRIDE_PURE_NAME(void, VONUCloudDelegate, name, unused, __VA_ARGS__)

void PyVONUCloudDelegate::OnError(Error error) { OSTREL_FORWARD("OnError", error); }

void PyVONUCloudDelegate::OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) {
    OSTREL_FORWARD("OnConnectionStateChanged", old_state, new_state);
}

void PyVONUCloudDelegate::OnEnterRoom() { OSTREL_FORWARD("OnEnterRoom", ); }

void PyVONUCloudDelegate::OnExitRoom() { OSTREL_FORWARD("OnExitRoom", ); }

void PyVONUCloudDelegate::OnLocalAudioChannelCreated() { OSTREL_FORWARD("OnLocalAudioChannelCreated", ); }

void PyVONUCloudDelegate::OnLocalAudioChannelDestroyed() { OSTREL_FORWARD("OnLocalAudioChannelDestroyed", ); }

void PyVONUCloudDelegate::OnLocalVideoChannelCreated(StreamType stream_type) {
    OSTREL_FORWARD("OnLocalVideoChannelCreated", stream_type);
}

void PyVONUCloudDelegate::OnLocalVideoChannelDestroyed(StreamType stream_type) {
    OSTREL_FORWARD("OnLocalVideoChannelDestroyed", stream_type);
}

void PyVONUCloudDelegate::OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) {
    OSTREL_FORWARD("OnRequestChangeVideoEncodeBitrate", stream_type, bitrate_bps);
}

void PyVONUCloudDelegate::OnRequestKeyFrame(StreamType stream_type) {
    OSTREL_FORWARD("OnRequestKeyFrame", stream_type);
}

void PyVONUCloudDelegate::OnRemoteUserEnterRoom(const UserInfo& info) { OSTREL_FORWARD("OnRemoteUserEnterRoom", info); }

void PyVONUCloudDelegate::OnRemoteUserExitRoom(const UserInfo& info, int reason) {
    OSTREL_FORWARD("OnRemoteUserExitRoom", info, reason);
}

void PyVONUCloudDelegate::OnRemoteAudioAvailable(const char* user_id, bool available) {
    OSTREL_FORWARD("OnRemoteAudioAvailable", user_id, available);
}

void PyVONUCloudDelegate::OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) {
    OSTREL_FORWARD("OnRemoteVideoAvailable", user_id, available, type);
}

void PyVONUCloudDelegate::OnRemoteVideoReceived(const char* user_id, StreamType type, const VideoFrame& frame) {
    OSTREL_FORWARD("OnRemoteVideoFrameReceived", user_id, type, frame);
}

void PyVONUCloudDelegate::OnRemoteVideoReceived(const char* user_id, StreamType type, const PixelFrame& frame) {
    OSTREL_FORWARD("OnRemotePixelFrameReceived", user_id, type, frame);
}

void PyVONUCloudDelegate::OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) {
    OSTREL_FORWARD("OnRemoteAudioReceived", user_id, frame);
}

void PyVONUCloudDelegate::OnRemoteMixedAudioReceived(const AudioFrame& frame) {
    OSTREL_FORWARD("OnRemoteMixedAudioReceived", frame);
}

#undef OSTREL_FORWARD

namespace {

// The catching callbacks report a failure on standard error and return normally. A thread
// being ended by the interpreter (a forced unwind) is never swallowed.
template <typename Body>
void call_and_report(const char* name, Body&& body) {
    try {
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (py::error_already_set& e) {
        std::cerr << "python callback " << name << " error: " << e.what() << std::endl;
        PyErr_Clear();
    } catch (...) {
        std::cerr << "unknown error" << std::endl;
    }
}

py::bytes message_bytes(const char* message, size_t length) {
    // A null message carries no bytes whatever its stated length.
    return message == nullptr ? py::bytes("", 0) : py::bytes(message, length);
}

py::function find_override(const PyVONUCloudDelegate* self, const char* name) {
    return py::get_override(static_cast<const VONUCloudDelegate*>(self), name);
}

// The SEI and custom command callbacks: build the message bytes only when an override exists,
// and hand them over after the other arguments.
template <typename... Args>
void forward_message(const PyVONUCloudDelegate* self, const char* name, const char* message, size_t length,
                     const Args&... args) {
    CallbackPass pass;
    if (!pass) return;
    py::gil_scoped_acquire gil;
    call_and_report(name, [&] {
        py::function override_fun = find_override(self, name);
        if (!override_fun) return;
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

void PyVONUCloudDelegate::OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code,
                                             uint32_t missed) {
    CallbackPass pass;
    if (!pass) return;
    py::gil_scoped_acquire gil;
    py::function override_fun = find_override(this, "OnMissCustomCmdMsg");
    if (override_fun) override_fun(user_id, cmd_id, error_code, missed);
}

void PyVONUCloudDelegate::OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                                           size_t remote_quality_count) {
    CallbackPass pass;
    if (!pass) return;
    py::gil_scoped_acquire gil;
    call_and_report("OnNetworkQuality", [&] {
        py::function override_fun = find_override(this, "OnNetworkQuality");
        if (!override_fun) return;
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
