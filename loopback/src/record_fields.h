// The value fields of the SDK's records, each record's list written once, in the order the
// interface headers declare them.
//
// OSTREL_<RECORD>_FIELDS(X) calls X(field) for each field: numbers, flags, enumerations, texts,
// nested records and pointers. A frame's payload, behind its handle, is no field. The loopback
// SDK copies frames field by field from these lists (records.cpp), and the call recorder writes
// records out from them (engine/recorded_args.cpp), so a field the headers gain is added here
// and nowhere else in the SDK. The binding registers fields in an order of its own, not this one.
#ifndef OSTREL_LOOPBACK_RECORD_FIELDS_H_
#define OSTREL_LOOPBACK_RECORD_FIELDS_H_

// clang-format off
#define OSTREL_ROOM_PARAMS_FIELDS(X) \
    X(sdk_app_id) X(user_id) X(user_sig) X(room_id) X(str_room_id) X(custom_data) X(decryption_delegate) X(encryption_delegate)

#define OSTREL_AUDIO_OBTAIN_PARAMS_FIELDS(X)                                                      \
    X(audio_obtain_method) X(enable_remote_audio_mix) X(output_sample_rate) X(output_channels) \
    X(output_frame_length_ms) X(output_audio_codec_type)

#define OSTREL_ENTER_ROOM_PARAMS_FIELDS(X) \
    X(room) X(scene) X(role) X(private_map_key) X(audio_obtain_params) X(use_pixel_frame_input) X(use_pixel_frame_output)

#define OSTREL_AUDIO_ENCODE_PARAMS_FIELDS(X) X(channels) X(sample_rate) X(frame_length_ms) X(bitrate_bps) X(need_encode)

#define OSTREL_VIDEO_ENCODE_PARAMS_FIELDS(X) X(frame_rate) X(bitrate_bps) X(gop_in_seconds)

#define OSTREL_AUDIO_FRAME_FIELDS(X) X(sample_rate) X(channels) X(bits_per_sample) X(codec) X(pts) X(has_voice)

#define OSTREL_VIDEO_FRAME_FIELDS(X) X(pts) X(dts) X(is_key_frame) X(codec) X(rotation)

#define OSTREL_PIXEL_FRAME_FIELDS(X) X(pts) X(width) X(height) X(format) X(rotation)
// clang-format on

#endif  // OSTREL_LOOPBACK_RECORD_FIELDS_H_
