#include "engine/recorded_args.h"

#include <cstdint>
#include <vector>

#include "record_access.h"

namespace ostrel::loopback::engine {

using namespace ostrel::vonu;
using call_recorder::Dict;

namespace {

template <typename Frame>
Dict& frame_data(Dict& d, const Frame& frame) {
    const std::vector<uint8_t>& bytes = frame_payload(frame);
    return d.payload("data", bytes.empty() ? nullptr : bytes.data(), bytes.size());
}

Dict room_dict(const RoomParams& r) {
    Dict d;
    d.uinteger("sdk_app_id", r.sdk_app_id)
        .cstr("user_id", text_of(r.user_id))
        .cstr("user_sig", text_of(r.user_sig))
        .uinteger("room_id", r.room_id)
        .cstr("str_room_id", text_of(r.str_room_id));
    pointer(d, "custom_data", r.custom_data);
    pointer(d, "decryption_delegate", r.decryption_delegate);
    pointer(d, "encryption_delegate", r.encryption_delegate);
    return d;
}

Dict obtain_dict(const AudioObtainParams& p) {
    Dict d;
    d.uinteger("audio_obtain_method", p.audio_obtain_method)
        .boolean("enable_remote_audio_mix", p.enable_remote_audio_mix)
        .integer("output_sample_rate", p.output_sample_rate)
        .integer("output_channels", p.output_channels)
        .integer("output_frame_length_ms", p.output_frame_length_ms)
        .uinteger("output_audio_codec_type", p.output_audio_codec_type);
    return d;
}

}  // namespace

Dict& pointer(Dict& d, const char* key, const void* p) {
    if (p == nullptr) return d.none(key);
    return d.uinteger(key, reinterpret_cast<uintptr_t>(p));
}

Dict enter_dict(const EnterRoomParams& p) {
    Dict d;
    d.dict("room", room_dict(p.room))
        .uinteger("scene", p.scene)
        .uinteger("role", p.role)
        .cstr("private_map_key", text_of(p.private_map_key))
        .dict("audio_obtain_params", obtain_dict(p.audio_obtain_params))
        .boolean("use_pixel_frame_input", p.use_pixel_frame_input)
        .boolean("use_pixel_frame_output", p.use_pixel_frame_output);
    return d;
}

Dict audio_frame_dict(const AudioFrame& f) {
    Dict d;
    d.integer("sample_rate", f.sample_rate)
        .integer("channels", f.channels)
        .integer("bits_per_sample", f.bits_per_sample)
        .uinteger("codec", f.codec)
        .uinteger("pts", f.pts)
        .boolean("has_voice", f.has_voice);
    frame_data(d, f);
    const std::vector<uint8_t>& extra = frame_extra(f);
    d.payload("extra_data", extra.empty() ? nullptr : extra.data(), extra.size());
    return d;
}

Dict video_frame_dict(const VideoFrame& f) {
    Dict d;
    d.uinteger("pts", f.pts)
        .uinteger("dts", f.dts)
        .boolean("is_key_frame", f.is_key_frame)
        .uinteger("codec", f.codec)
        .uinteger("rotation", f.rotation);
    return frame_data(d, f);
}

Dict pixel_frame_dict(const PixelFrame& f) {
    Dict d;
    d.uinteger("pts", f.pts)
        .uinteger("width", f.width)
        .uinteger("height", f.height)
        .uinteger("format", f.format)
        .uinteger("rotation", f.rotation);
    return frame_data(d, f);
}

Dict audio_encode_dict(const AudioEncodeParams& p) {
    Dict d;
    d.integer("channels", p.channels)
        .integer("sample_rate", p.sample_rate)
        .integer("frame_length_ms", p.frame_length_ms)
        .integer("bitrate_bps", p.bitrate_bps)
        .boolean("need_encode", p.need_encode);
    return d;
}

Dict video_encode_dict(const VideoEncodeParams& p) {
    Dict d;
    d.integer("frame_rate", p.frame_rate).integer("bitrate_bps", p.bitrate_bps).integer("gop_in_seconds", p.gop_in_seconds);
    return d;
}

}  // namespace ostrel::loopback::engine
