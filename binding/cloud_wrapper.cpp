#include "cloud_wrapper.h"

#include <stdexcept>
#include <string_view>
#include <utility>

#include "bindings.h"
#include "callback_gate.h"
#include "delegate_object.h"
#include "fork_guard.h"
#include "frame_payload.h"
#include "frame_view.h"
#include "thread_state.h"

namespace py = pybind11;
using ostrel::vonu::VONUCloud;

VONUCloudWrapper::VONUCloudWrapper(std::shared_ptr<PyVONUCloudDelegate> delegate)
    : vonu_cloud_(nullptr),
      delegate_(std::move(delegate)),
      callbacks_of_(delegate_.get()),
      process_(ostrel_binding::process_generation()) {
    vonu_cloud_ = VONUCloud::Create(delegate_.get());
    if (vonu_cloud_ == nullptr) throw std::runtime_error("VONUCloud::Create returned no cloud instance");
}

VONUCloudWrapper::~VONUCloudWrapper() {
    if (releasing_) return;
    destroy(std::exchange(vonu_cloud_, nullptr));
    ostrel_binding::release_ended_thread_states_taking_gil();  // the instance's threads may have ended
}

void VONUCloudWrapper::Release() {
    if (!releasing_) {
        releasing_ = true;
        VONUCloud* cloud = std::exchange(vonu_cloud_, nullptr);
        if (uses_ > 0) {
            deferred_ = cloud;  // the last method to return destroys it
            return;
        }
        {
            py::gil_scoped_release nogil;
            destroy(cloud);
        }
        ostrel_binding::release_ended_thread_states();  // the instance's threads may have ended
        ostrel_binding::release_left_weak_references();  // its delegate may have gone without the GIL
        return;
    }
    if (ostrel_binding::in_callback_of(callbacks_of_)) return;  // Destroy may be waiting for this very callback
    {
        std::lock_guard<std::mutex> lock(released_mutex_);
        if (released_) return;
    }
    py::gil_scoped_release nogil;
    std::unique_lock<std::mutex> lock(released_mutex_);
    released_cv_.wait(lock, [this] { return released_; });
}

void VONUCloudWrapper::destroy(VONUCloud* cloud) {
    if (cloud != nullptr && !inherited() &&
        !(delegate_ && ostrel_binding::exit_gate_keeps(delegate_, delegate_->callbacks_inside))) {
        VONUCloud::Destroy(cloud);
    }
    delegate_.reset();
    {
        std::lock_guard<std::mutex> lock(released_mutex_);
        released_ = true;
    }
    released_cv_.notify_all();
}

bool VONUCloudWrapper::inherited() const { return process_ != ostrel_binding::process_generation(); }

VONUCloudWrapper::Use::Use(VONUCloudWrapper& wrapper) : wrapper_(wrapper), cloud_(wrapper.vonu_cloud_) {
    if (wrapper.inherited()) throw std::runtime_error(ostrel_binding::kForeignCloud);
    // Released already: the finalizer ran, through an explicit __del__() perhaps on another thread.
    if (cloud_ == nullptr) throw std::runtime_error("this VONUCloud has been destroyed");
    ++wrapper_.uses_;
}

VONUCloudWrapper::Use::~Use() {
    if (--wrapper_.uses_ > 0 || wrapper_.deferred_ == nullptr) return;
    VONUCloud* cloud = std::exchange(wrapper_.deferred_, nullptr);
    {
        py::gil_scoped_release nogil;
        wrapper_.destroy(cloud);
    }
    ostrel_binding::release_ended_thread_states();
    ostrel_binding::release_left_weak_references();
}

int VONUCloudWrapper::EnterRoom(const EnterRoomParams& params) { return Use(*this)->EnterRoom(params); }

int VONUCloudWrapper::ExitRoom() { return Use(*this)->ExitRoom(); }

int VONUCloudWrapper::Subscribe(const std::string& user_id, StreamType type) {
    return Use(*this)->Subscribe(user_id.c_str(), type);
}

int VONUCloudWrapper::Unsubscribe(const std::string& user_id, StreamType type) {
    return Use(*this)->Unsubscribe(user_id.c_str(), type);
}

int VONUCloudWrapper::GetAudioFrame(AudioFrame* frame) {
    // The SDK replaces the payload in place, which a view of it must not see.
    if (frame != nullptr) ostrel_binding::refuse_while_viewed(frame);
    return Use(*this)->GetAudioFrame(frame);
}

int VONUCloudWrapper::CreateLocalAudioChannel(const AudioEncodeParams& params) {
    return Use(*this)->CreateLocalAudioChannel(params);
}

int VONUCloudWrapper::DestroyLocalAudioChannel() { return Use(*this)->DestroyLocalAudioChannel(); }

int VONUCloudWrapper::SendAudioFrame(const AudioFrame& frame) { return Use(*this)->SendAudioFrame(frame); }

int VONUCloudWrapper::SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) {
    return Use(*this)->SendContinuousAudioFrame(frame, clear_send_queue);
}

int VONUCloudWrapper::CreateLocalVideoChannel(StreamType type) { return Use(*this)->CreateLocalVideoChannel(type); }

int VONUCloudWrapper::DestroyLocalVideoChannel(StreamType type) { return Use(*this)->DestroyLocalVideoChannel(type); }

int VONUCloudWrapper::SendVideoFrame(StreamType type, const VideoFrame& frame) {
    return Use(*this)->SendVideoFrame(type, frame);
}

int VONUCloudWrapper::SendPixelFrame(StreamType type, const PixelFrame& frame) {
    return Use(*this)->SendVideoFrame(type, frame);
}

void VONUCloudWrapper::SetVideoEncodeParam(StreamType type, const VideoEncodeParams& param) {
    Use(*this)->SetVideoEncodeParam(type, param);
}

int VONUCloudWrapper::SendSeiMessage(int message_type, py::bytes message) {
    const std::string_view payload = ostrel_binding::payload_of(message);
    return Use(*this)->SendSeiMessage(message_type, payload.data(), payload.size());
}

int VONUCloudWrapper::SendCustomCmdMsg(int32_t cmd_id, py::bytes message, bool reliable, bool ordered) {
    const std::string_view payload = ostrel_binding::payload_of(message);
    const bool sent =
        Use(*this)->SendCustomCmdMsg(static_cast<uint32_t>(cmd_id), payload.data(), payload.size(), reliable, ordered);
    return sent ? 1 : 0;
}

void VONUCloudWrapper::EnableVoiceActivityDetection(const VADParams& params) {
    Use(*this)->EnableVoiceActivityDetection(params);
}

namespace ostrel_binding {

namespace {

// The cloud keeps its delegate alive through a keep-alive reference, which the garbage
// collector cannot see on its own. Traversing it lets the collector find the usual cycle
// (delegate -> its __dict__ -> cloud -> delegate).
//
// Such a cycle ends in two steps. The collector first runs the finalizers of every object in it
// and only then clears any of them, so the SDK instance is destroyed in the cloud's finalizer:
// a callback that Destroy waits for still runs on a whole delegate, never on one whose __dict__
// has been cleared. Clearing then only drops the keep-alive reference.
int traverse_cloud(PyObject* self, visitproc visit, void* arg) {
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    if (inst->has_patients) {
        auto& patients = py::detail::get_internals().patients;
        auto found = patients.find(self);
        if (found != patients.end()) {
            for (PyObject* patient : found->second) Py_VISIT(patient);
        }
    }
    return 0;
}

// Ends the SDK instance (see VONUCloudWrapper::Release); called with the GIL held.
void release_cloud(PyObject* self) {
    py::detail::value_and_holder v_h =
        reinterpret_cast<py::detail::instance*>(self)->get_value_and_holder(
            py::detail::get_type_info(typeid(VONUCloudWrapper)));
    if (!v_h || !v_h.holder_constructed()) return;
    VONUCloudWrapper* wrapper = v_h.holder<std::unique_ptr<VONUCloudWrapper>>().get();
    if (wrapper != nullptr) wrapper->Release();
}

void finalize_cloud(PyObject* self) {
    // A finalizer leaves the error indicator as it found it.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    release_cloud(self);
    PyErr_Restore(type, value, traceback);
}

int clear_cloud(PyObject* self) {
    release_cloud(self);  // already done when the collector ran the finalizer
    if (reinterpret_cast<py::detail::instance*>(self)->has_patients) py::detail::clear_patients(self);
    return 0;
}

}  // namespace

void bind_cloud(py::module_& m) {
    using W = VONUCloudWrapper;
    py::class_<W>(m, "VONUCloud", py::release_gil_before_calling_cpp_dtor(),
                  py::custom_type_setup([](PyHeapTypeObject* heap_type) {
                      PyTypeObject* type = &heap_type->ht_type;
                      type->tp_flags |= Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_FINALIZE;
                      type->tp_traverse = traverse_cloud;
                      type->tp_clear = clear_cloud;
                      type->tp_finalize = finalize_cloud;
                  }))
        .def(py::init([](std::shared_ptr<PyVONUCloudDelegate> delegate) {
                 install_fork_guard();
                 return std::make_unique<W>(std::move(delegate));
             }),
             py::keep_alive<1, 2>())
        .def("EnterRoom", &W::EnterRoom, py::arg("params"))
        .def("ExitRoom", &W::ExitRoom)
        .def("Subscribe", &W::Subscribe, py::arg("user_id"), py::arg("type"))
        .def("Unsubscribe", &W::Unsubscribe, py::arg("user_id"), py::arg("type"))
        .def("GetAudioFrame", &W::GetAudioFrame, py::arg("frame"))
        .def("CreateLocalAudioChannel", &W::CreateLocalAudioChannel, py::arg("params"))
        .def("DestroyLocalAudioChannel", &W::DestroyLocalAudioChannel)
        .def("SendAudioFrame", &W::SendAudioFrame, py::arg("frame"))
        .def("SendContinuousAudioFrame", &W::SendContinuousAudioFrame, py::arg("frame"), py::arg("clear_send_queue"))
        .def("CreateLocalVideoChannel", &W::CreateLocalVideoChannel, py::arg("type"))
        .def("DestroyLocalVideoChannel", &W::DestroyLocalVideoChannel, py::arg("type"))
        .def("SendVideoFrame", &W::SendVideoFrame, py::arg("type"), py::arg("frame"))
        .def("SendPixelFrame", &W::SendPixelFrame, py::arg("type"), py::arg("frame"))
        .def("SetVideoEncodeParam", &W::SetVideoEncodeParam, py::arg("type"), py::arg("param"))
        .def("SendSeiMessage", &W::SendSeiMessage, py::arg("message_type"), py::arg("message"))
        .def("SendCustomCmdMsg", &W::SendCustomCmdMsg, py::arg("cmd_id"), py::arg("message"), py::arg("reliable"),
             py::arg("ordered"))
        .def("EnableVoiceActivityDetection", &W::EnableVoiceActivityDetection, py::arg("params"));
}

}  // namespace ostrel_binding
