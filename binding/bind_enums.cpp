// The SDK enumerations as classic pybind11 enums, each member also exported to the module.
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "vonu/ostrel_vonu_cloud.h"
#include "vonu/ostrel_vonu_defines.h"

namespace py = pybind11;
using namespace ostrel::vonu;

namespace ostrel_binding {

void bind_enums(py::module_& m) {
    py::enum_<Error>(m, "Error")
        .value("ERR_OK", ERR_OK)
        .value("ERR_FAILED", ERR_FAILED)
        .value("ERR_INVALID_PARAMETER", ERR_INVALID_PARAMETER)
        .value("ERR_INVALID_OPERATION", ERR_INVALID_OPERATION)
        .value("ERR_NOT_SUPPORTED", ERR_NOT_SUPPORTED)
        .value("ERR_REQUEST_SERVER_TIMEOUT", ERR_REQUEST_SERVER_TIMEOUT)
        .value("ERR_SERVER_PROCESS_FAILED", ERR_SERVER_PROCESS_FAILED)
        .value("ERR_READ_TRY_AGAIN", ERR_READ_TRY_AGAIN)
        .value("ERR_NETWORK_UNREACHABLE", ERR_NETWORK_UNREACHABLE)
        .value("ERR_ENTER_ROOM_FAILED", ERR_ENTER_ROOM_FAILED)
        .value("ERR_INVALID_SDK_APP_ID", ERR_INVALID_SDK_APP_ID)
        .value("ERR_INVALID_ROOM_ID", ERR_INVALID_ROOM_ID)
        .value("ERR_INVALID_USER_ID", ERR_INVALID_USER_ID)
        .value("ERR_INVALID_USER_SIG", ERR_INVALID_USER_SIG)
        .value("ERR_SERVICE_SUSPENDED", ERR_SERVICE_SUSPENDED)
        .value("ERR_BANNED_BY_SERVER", ERR_BANNED_BY_SERVER)
        .export_values();

    py::enum_<VideoCodecType>(m, "VideoCodecType")
        .value("VIDEO_CODEC_TYPE_H264", VIDEO_CODEC_TYPE_H264)
        .value("VIDEO_CODEC_TYPE_H265", VIDEO_CODEC_TYPE_H265)
        .export_values();

    py::enum_<AudioCodecType>(m, "AudioCodecType")
        .value("AUDIO_CODEC_TYPE_PCM", AUDIO_CODEC_TYPE_PCM)
        .value("AUDIO_CODEC_TYPE_OPUS", AUDIO_CODEC_TYPE_OPUS)
        .value("AUDIO_CODEC_TYPE_AAC", AUDIO_CODEC_TYPE_AAC)
        .export_values();

    py::enum_<VONURole>(m, "VONURole")
        .value("VONU_ROLE_ANCHOR", VONU_ROLE_ANCHOR)
        .value("VONU_ROLE_AUDIENCE", VONU_ROLE_AUDIENCE)
        .export_values();

    py::enum_<VONUScene>(m, "VONUScene")
        .value("VONU_SCENE_VIDEO_CALL", VONU_SCENE_VIDEO_CALL)
        .value("VONU_SCENE_AUDIO_CALL", VONU_SCENE_AUDIO_CALL)
        .value("VONU_SCENE_LIVE", VONU_SCENE_LIVE)
        .value("VONU_SCENE_VOICE_CHAT", VONU_SCENE_VOICE_CHAT)
        .value("VONU_SCENE_RECORD", VONU_SCENE_RECORD)
        .export_values();

    // Audio is listed last, after the video streams.
    py::enum_<StreamType>(m, "StreamType")
        .value("STREAM_TYPE_UNKNOWN", STREAM_TYPE_UNKNOWN)
        .value("STREAM_TYPE_VIDEO_HIGH", STREAM_TYPE_VIDEO_HIGH)
        .value("STREAM_TYPE_VIDEO_LOW", STREAM_TYPE_VIDEO_LOW)
        .value("STREAM_TYPE_VIDEO_AUX", STREAM_TYPE_VIDEO_AUX)
        .value("STREAM_TYPE_AUDIO", STREAM_TYPE_AUDIO)
        .export_values();

    py::enum_<AudioObtainMethod>(m, "AudioObtainMethod")
        .value("AUDIO_OBTAIN_METHOD_GET", AUDIO_OBTAIN_METHOD_GET)
        .value("AUDIO_OBTAIN_METHOD_CALLBACK", AUDIO_OBTAIN_METHOD_CALLBACK)
        .export_values();

    py::enum_<NetworkQuality>(m, "NetworkQuality")
        .value("NETWORK_QUALITY_UNKNOWN", NETWORK_QUALITY_UNKNOWN)
        .value("NETWORK_QUALITY_EXCELLENT", NETWORK_QUALITY_EXCELLENT)
        .value("NETWORK_QUALITY_GOOD", NETWORK_QUALITY_GOOD)
        .value("NETWORK_QUALITY_POOR", NETWORK_QUALITY_POOR)
        .value("NETWORK_QUALITY_BAD", NETWORK_QUALITY_BAD)
        .value("NETWORK_QUALITY_VERY_BAD", NETWORK_QUALITY_VERY_BAD)
        .value("NETWORK_QUALITY_DOWN", NETWORK_QUALITY_DOWN)
        .export_values();

    py::enum_<ConnectionState>(m, "ConnectionState")
        .value("CONNECTION_STATE_INIT", CONNECTION_STATE_INIT)
        .value("CONNECTION_STATE_DISCONNECTED", CONNECTION_STATE_DISCONNECTED)
        .value("CONNECTION_STATE_CONNECTING", CONNECTION_STATE_CONNECTING)
        .value("CONNECTION_STATE_CONNECTED", CONNECTION_STATE_CONNECTED)
        .export_values();

    py::enum_<VideoRotation>(m, "VideoRotation")
        .value("VIDEO_ROTATION_0", VIDEO_ROTATION_0)
        .value("VIDEO_ROTATION_90", VIDEO_ROTATION_90)
        .value("VIDEO_ROTATION_180", VIDEO_ROTATION_180)
        .value("VIDEO_ROTATION_270", VIDEO_ROTATION_270)
        .export_values();

    py::enum_<VideoPixelFormat>(m, "VideoPixelFormat")
        .value("VIDEO_PIXEL_FORMAT_YUV420p", VIDEO_PIXEL_FORMAT_YUV420p)
        .value("VIDEO_PIXEL_FORMAT_YUVA420p", VIDEO_PIXEL_FORMAT_YUVA420p)
        .value("VIDEO_PIXEL_FORMAT_RGBA", VIDEO_PIXEL_FORMAT_RGBA)
        .export_values();
}

}  // namespace ostrel_binding
