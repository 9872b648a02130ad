// The SDK records as Python classes: fields as properties, record and string fields read as
// views into the parent, writes by the record's copy assignment, frame payloads as bytes and
// as read-only buffers.
#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

#include "bindings.h"
#include "frame_payload.h"
#include "frame_view.h"
#include "vonu/ostrel_vonu_cloud.h"
#include "vonu/ostrel_vonu_defines.h"

namespace py = pybind11;
using namespace ostrel::vonu;

namespace ostrel_binding {

namespace {

// Owned copy of a VonuString's text; a string holding no text cannot become one.
std::string text_of(const VonuString& s) {
    const char* value = s.GetValue();
    if (value == nullptr) throw std::logic_error("basic_string: construction from null is not valid");
    return std::string(value);
}

// Enumeration fields read as a new enumeration object holding the current value, not as a
// view that would follow later changes of the field.
template <typename Class, typename Enum>
void def_enum_field(py::class_<Class>& cls, const char* name, Enum Class::*field) {
    cls.def_property(name, py::cpp_function([field](const Class& self) { return self.*field; }, py::is_method(cls)),
                     py::cpp_function([field](Class& self, Enum value) { self.*field = value; }, py::is_method(cls)));
}

// The payload members shared by the three frame classes, and their buffer protocol.
template <typename Frame>
void def_payload(py::class_<Frame>& cls) {
    def_frame_view(cls);
    cls.def_property_readonly("data", py::cpp_function(&GetFrameData<Frame>, py::is_method(cls)))
        .def("SetData", &SetFrameData<Frame, &Frame::SetData>)
        .def_property_readonly("size", py::cpp_function(&GetFrameSize<Frame>, py::is_method(cls)));
}

}  // namespace

void bind_records(py::module_& m) {
    py::class_<VonuString>(m, "VonuString")
        .def(py::init<>())
        .def(py::init<const char*>())
        .def("GetValue", &VonuString::GetValue)
        .def("SetValue", &VonuString::SetValue)
        .def("__str__", [](const VonuString& self) { return text_of(self); })
        .def("__repr__", [](const VonuString& self) { return "VonuString(" + text_of(self) + ")"; });

    py::class_<RoomParams>(m, "RoomParams")
        .def(py::init<>())
        .def_readwrite("room_id", &RoomParams::room_id)
        .def_readwrite("str_room_id", &RoomParams::str_room_id)
        .def_readwrite("user_id", &RoomParams::user_id)
        .def_readwrite("user_sig", &RoomParams::user_sig)
        .def_readwrite("sdk_app_id", &RoomParams::sdk_app_id);

    py::class_<EnterRoomParams> enter_room(m, "EnterRoomParams");
    enter_room.def(py::init<>()).def_readwrite("room", &EnterRoomParams::room);
    def_enum_field(enter_room, "scene", &EnterRoomParams::scene);
    def_enum_field(enter_room, "role", &EnterRoomParams::role);
    enter_room.def_readwrite("private_map_key", &EnterRoomParams::private_map_key)
        .def_readwrite("audio_obtain_params", &EnterRoomParams::audio_obtain_params)
        .def_readwrite("use_pixel_frame_input", &EnterRoomParams::use_pixel_frame_input)
        .def_readwrite("use_pixel_frame_output", &EnterRoomParams::use_pixel_frame_output);

    py::class_<AudioEncodeParams>(m, "AudioEncodeParams")
        .def(py::init<>())
        .def_readwrite("channels", &AudioEncodeParams::channels)
        .def_readwrite("sample_rate", &AudioEncodeParams::sample_rate)
        .def_readwrite("frame_length_ms", &AudioEncodeParams::frame_length_ms)
        .def_readwrite("bitrate_bps", &AudioEncodeParams::bitrate_bps)
        .def_readwrite("need_encode", &AudioEncodeParams::need_encode);

    py::class_<VideoEncodeParams>(m, "VideoEncodeParams")
        .def(py::init<>())
        .def_readwrite("frame_rate", &VideoEncodeParams::frame_rate)
        .def_readwrite("bitrate_bps", &VideoEncodeParams::bitrate_bps)
        .def_readwrite("gop_in_seconds", &VideoEncodeParams::gop_in_seconds);

    py::class_<NetworkQualityInfo> quality(m, "NetworkQualityInfo");
    quality.def(py::init<>()).def_readwrite("user_id", &NetworkQualityInfo::user_id);
    def_enum_field(quality, "quality", &NetworkQualityInfo::quality);

    py::class_<UserInfo>(m, "UserInfo").def(py::init<>()).def_readwrite("user_id", &UserInfo::user_id);

    py::class_<AudioObtainParams> obtain(m, "AudioObtainParams");
    obtain.def(py::init<>());
    def_enum_field(obtain, "audio_obtain_method", &AudioObtainParams::audio_obtain_method);
    obtain.def_readwrite("enable_remote_audio_mix", &AudioObtainParams::enable_remote_audio_mix)
        .def_readwrite("output_sample_rate", &AudioObtainParams::output_sample_rate)
        .def_readwrite("output_channels", &AudioObtainParams::output_channels)
        .def_readwrite("output_frame_length_ms", &AudioObtainParams::output_frame_length_ms);
    def_enum_field(obtain, "output_audio_codec_type", &AudioObtainParams::output_audio_codec_type);

    py::class_<VADParams>(m, "VADParams").def(py::init<>()).def_readwrite("enable", &VADParams::enable);

    py::class_<AudioFrame> audio(m, "AudioFrame", py::buffer_protocol());
    audio.def(py::init<>())
        .def_readwrite("pts", &AudioFrame::pts)
        .def_readwrite("sample_rate", &AudioFrame::sample_rate)
        .def_readwrite("channels", &AudioFrame::channels)
        .def_readwrite("bits_per_sample", &AudioFrame::bits_per_sample);
    def_enum_field(audio, "codec", &AudioFrame::codec);
    audio.def_readwrite("has_voice", &AudioFrame::has_voice);
    def_payload(audio);
    audio.def("SetExtraData", &SetFrameData<AudioFrame, &AudioFrame::SetExtraData>);

    py::class_<VideoFrame> video(m, "VideoFrame", py::buffer_protocol());
    video.def(py::init<>()).def_readwrite("pts", &VideoFrame::pts).def_readwrite("dts", &VideoFrame::dts);
    def_enum_field(video, "codec", &VideoFrame::codec);
    video.def_readwrite("is_key_frame", &VideoFrame::is_key_frame);
    def_enum_field(video, "rotation", &VideoFrame::rotation);
    def_payload(video);

    py::class_<PixelFrame> pixel(m, "PixelFrame", py::buffer_protocol());
    pixel.def(py::init<>()).def_readwrite("pts", &PixelFrame::pts);
    def_enum_field(pixel, "format", &PixelFrame::format);
    pixel.def_readwrite("height", &PixelFrame::height).def_readwrite("width", &PixelFrame::width);
    def_enum_field(pixel, "rotation", &PixelFrame::rotation);
    def_payload(pixel);
}

}  // namespace ostrel_binding
