// Records as the call recorder writes them: every value field from the record's list in
// record_fields.h under its own name, and a frame's payload (and extra data) as bytes.
#include "engine/recorded_args.h"

#include <cstdint>
#include <type_traits>
#include <vector>

#include "record_access.h"
#include "record_fields.h"

namespace ostrel::loopback::engine {

using namespace ostrel::vonu;
using call_recorder::Dict;

namespace {

Dict fields_of(const RoomParams& record);
Dict fields_of(const AudioObtainParams& record);

// One field into `d`, in the form its type takes in the recorder: numbers and enumerations as
// int, flags as bool, texts as bytes (None for no text), pointers as their address, nested
// records as dicts.
void put(Dict& d, const char* key, int value) { d.integer(key, value); }
void put(Dict& d, const char* key, uint32_t value) { d.uinteger(key, value); }
void put(Dict& d, const char* key, bool value) { d.boolean(key, value); }
void put(Dict& d, const char* key, const VonuString& value) { d.cstr(key, text_of(value)); }
void put(Dict& d, const char* key, const void* value) { pointer(d, key, value); }
void put(Dict& d, const char* key, const RoomParams& value) { d.dict(key, fields_of(value)); }
void put(Dict& d, const char* key, const AudioObtainParams& value) { d.dict(key, fields_of(value)); }
template <typename Enum, std::enable_if_t<std::is_enum_v<Enum>, int> = 0>
void put(Dict& d, const char* key, Enum value) {
    d.uinteger(key, value);
}

// fields_of(record): the record's value fields as a dict.
#define OSTREL_PUT_FIELD(field) put(d, #field, record.field);
#define OSTREL_FIELDS_OF(Record, FIELDS)   \
    Dict fields_of(const Record& record) { \
        Dict d;                            \
        FIELDS(OSTREL_PUT_FIELD)           \
        return d;                          \
    }
OSTREL_FIELDS_OF(RoomParams, OSTREL_ROOM_PARAMS_FIELDS)
OSTREL_FIELDS_OF(AudioObtainParams, OSTREL_AUDIO_OBTAIN_PARAMS_FIELDS)
OSTREL_FIELDS_OF(EnterRoomParams, OSTREL_ENTER_ROOM_PARAMS_FIELDS)
OSTREL_FIELDS_OF(AudioEncodeParams, OSTREL_AUDIO_ENCODE_PARAMS_FIELDS)
OSTREL_FIELDS_OF(VideoEncodeParams, OSTREL_VIDEO_ENCODE_PARAMS_FIELDS)
OSTREL_FIELDS_OF(AudioFrame, OSTREL_AUDIO_FRAME_FIELDS)
OSTREL_FIELDS_OF(VideoFrame, OSTREL_VIDEO_FRAME_FIELDS)
OSTREL_FIELDS_OF(PixelFrame, OSTREL_PIXEL_FRAME_FIELDS)
#undef OSTREL_FIELDS_OF
#undef OSTREL_PUT_FIELD

// A frame's fields and its payload.
template <typename Frame>
Dict frame_dict(const Frame& frame) {
    Dict d = fields_of(frame);
    const std::vector<uint8_t>& bytes = frame_payload(frame);
    d.payload("data", bytes.empty() ? nullptr : bytes.data(), bytes.size());
    return d;
}

}  // namespace

Dict& pointer(Dict& d, const char* key, const void* p) {
    if (p == nullptr) return d.none(key);
    return d.uinteger(key, reinterpret_cast<uintptr_t>(p));
}

Dict enter_dict(const EnterRoomParams& p) { return fields_of(p); }

Dict audio_frame_dict(const AudioFrame& f) {
    Dict d = frame_dict(f);
    const std::vector<uint8_t>& extra = frame_extra(f);
    d.payload("extra_data", extra.empty() ? nullptr : extra.data(), extra.size());
    return d;
}

Dict video_frame_dict(const VideoFrame& f) { return frame_dict(f); }

Dict pixel_frame_dict(const PixelFrame& f) { return frame_dict(f); }

Dict audio_encode_dict(const AudioEncodeParams& p) { return fields_of(p); }

Dict video_encode_dict(const VideoEncodeParams& p) { return fields_of(p); }

}  // namespace ostrel::loopback::engine
