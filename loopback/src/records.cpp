// The SDK's side of the records declared in the interface headers: owned strings, byte
// buffers, frames and the room parameter records.
//
// Choices where the interface leaves them open:
// - A default VonuString holds the empty text. One built from, assigned or set to a null
//   pointer holds no text at all: GetValue() then returns a null pointer.
// - Every frame owns a heap payload (and, for AudioFrame, extra data) behind `handle_`;
//   copies duplicate it, so copies are independent values. A default frame has an empty
//   payload, and data() of an empty payload is a null pointer.
// - SetData(nullptr, n) stores an empty payload whatever n is, rather than reading from null.
#include <cstring>
#include <memory>
#include <vector>

#include "record_access.h"
#include "record_fields.h"
#include "call_recorder.h"
#include "vonu/ostrel_vonu_cloud.h"
#include "vonu/ostrel_vonu_defines.h"

namespace ostrel {
namespace vonu {

namespace rec = ostrel::loopback::call_recorder;

namespace {

// Heap copy of a NUL-terminated text, or null for null. The only allocation behind `str_`.
char* duplicate(const char* value) {
    if (value == nullptr) return nullptr;
    const size_t length = std::strlen(value);
    auto copy = std::make_unique<char[]>(length + 1);
    std::memcpy(copy.get(), value, length + 1);
    return copy.release();
}

void release(char* value) { std::unique_ptr<char[]> owned(value); }

using Bytes = std::vector<uint8_t>;

using ostrel::loopback::FrameStorage;

void assign(Bytes& target, const uint8_t* data, size_t size) {
    if (data == nullptr) {
        target.clear();
        return;
    }
    target.assign(data, data + size);
}

FrameStorage* storage(void* handle) { return static_cast<FrameStorage*>(handle); }
const FrameStorage* storage(const void* handle) { return static_cast<const FrameStorage*>(handle); }

void* new_storage() { return new FrameStorage(); }
void* copy_storage(const void* handle) { return new FrameStorage(*storage(handle)); }
void delete_storage(void* handle) { std::unique_ptr<FrameStorage> owned(storage(handle)); }

const uint8_t* payload_data(const void* handle) {
    const Bytes& b = storage(handle)->payload;
    return b.empty() ? nullptr : b.data();
}

}  // namespace

// ---- VonuString ----

VonuString::VonuString() : str_(duplicate("")) {}

VonuString::VonuString(const char* value) : str_(duplicate(value)) {}

VonuString::VonuString(const VonuString& other) : str_(duplicate(other.str_)) {}

VonuString::~VonuString() { release(str_); }

VonuString& VonuString::operator=(const char* value) {
    if (rec::on()) rec::record("VonuString::operator=", rec::Dict().cstr("value", value));
    char* copy = duplicate(value);
    release(str_);
    str_ = copy;
    return *this;
}

VonuString& VonuString::operator=(const VonuString& other) {
    if (rec::on()) rec::record("VonuString::operator=", rec::Dict().cstr("value", other.str_));
    if (this != &other) {
        char* copy = duplicate(other.str_);
        release(str_);
        str_ = copy;
    }
    return *this;
}

void VonuString::SetValue(const char* value) {
    if (rec::on()) rec::record("VonuString::SetValue", rec::Dict().cstr("value", value));
    char* copy = duplicate(value);
    release(str_);
    str_ = copy;
}

const char* VonuString::GetValue() const {
    if (rec::on()) rec::record("VonuString::GetValue");
    return str_;
}

// ---- VonuBuffer ----

VonuBuffer::VonuBuffer() : handle_(new_storage()) {}

VonuBuffer::VonuBuffer(const VonuBuffer& other) : handle_(copy_storage(other.handle_)) {}

VonuBuffer& VonuBuffer::operator=(const VonuBuffer& other) {
    if (this != &other) *storage(handle_) = *storage(other.handle_);
    return *this;
}

VonuBuffer::~VonuBuffer() { delete_storage(handle_); }

void VonuBuffer::SetData(const uint8_t* data, size_t size) { assign(storage(handle_)->payload, data, size); }

void VonuBuffer::SetSize(size_t size) { storage(handle_)->payload.resize(size); }

uint8_t* VonuBuffer::data() {
    Bytes& b = storage(handle_)->payload;
    return b.empty() ? nullptr : b.data();
}

const uint8_t* VonuBuffer::cdata() const { return payload_data(handle_); }

size_t VonuBuffer::size() const { return storage(handle_)->payload.size(); }

const void* VonuBuffer::handle() const { return handle_; }

// ---- Encryption hook records ----

EncryptionData::EncryptionData()
    : room_id(0), stream_type(STREAM_TYPE_UNKNOWN), decrypted(nullptr), encrypted(nullptr) {}
EncryptionData::~EncryptionData() = default;

DecryptionData::DecryptionData()
    : room_id(0), stream_type(STREAM_TYPE_UNKNOWN), encrypted(nullptr), decrypted(nullptr) {}
DecryptionData::~DecryptionData() = default;

// ---- Room records ----

RoomParams::RoomParams()
    : sdk_app_id(0), room_id(0), custom_data(nullptr), decryption_delegate(nullptr), encryption_delegate(nullptr) {}

RoomParams::RoomParams(const RoomParams& other) = default;
RoomParams::~RoomParams() = default;

EnterRoomParams::EnterRoomParams()
    : scene(VONU_SCENE_VIDEO_CALL),
      role(VONU_ROLE_ANCHOR),
      use_pixel_frame_input(false),
      use_pixel_frame_output(false) {}

EnterRoomParams::~EnterRoomParams() = default;

// ---- Frames ----

#define OSTREL_FRAME_PAYLOAD_MEMBERS(Frame)                                                      \
    Frame::~Frame() { delete_storage(handle_); }                                                 \
    void Frame::SetData(const uint8_t* data, size_t size) {                                      \
        if (rec::on()) rec::record(#Frame "::SetData", rec::Dict().payload("data", data, size)); \
        assign(storage(handle_)->payload, data, size);                                           \
    }                                                                                            \
    const uint8_t* Frame::data() const {                                                         \
        if (rec::on()) rec::record(#Frame "::data");                                             \
        return payload_data(handle_);                                                            \
    }                                                                                            \
    size_t Frame::size() const {                                                                 \
        if (rec::on()) rec::record(#Frame "::size");                                             \
        return storage(handle_)->payload.size();                                                 \
    }                                                                                            \
    const void* Frame::handle() const { return handle_; }

// Copies are field by field, with a copy of the payload behind the handle.
#define OSTREL_COPY_FIELD(field) field(other.field),
#define OSTREL_ASSIGN_FIELD(field) field = other.field;
#define OSTREL_FRAME_COPY_MEMBERS(Frame, FIELDS)                                                         \
    Frame::Frame(const Frame& other) : FIELDS(OSTREL_COPY_FIELD) handle_(copy_storage(other.handle_)) {} \
    Frame& Frame::operator=(const Frame& other) {                                                        \
        if (this != &other) {                                                                            \
            FIELDS(OSTREL_ASSIGN_FIELD)                                                                  \
            *storage(handle_) = *storage(other.handle_);                                                 \
        }                                                                                                \
        return *this;                                                                                    \
    }

AudioFrame::AudioFrame()
    : sample_rate(48000),
      channels(1),
      bits_per_sample(16),
      codec(AUDIO_CODEC_TYPE_PCM),
      pts(0),
      has_voice(false),
      handle_(new_storage()) {}

OSTREL_FRAME_COPY_MEMBERS(AudioFrame, OSTREL_AUDIO_FRAME_FIELDS)

void AudioFrame::SetExtraData(const uint8_t* data, size_t size) {
    if (rec::on()) rec::record("AudioFrame::SetExtraData", rec::Dict().payload("data", data, size));
    assign(storage(handle_)->extra, data, size);
}

OSTREL_FRAME_PAYLOAD_MEMBERS(AudioFrame)

VideoFrame::VideoFrame()
    : pts(0),
      dts(0),
      is_key_frame(false),
      codec(VIDEO_CODEC_TYPE_H264),
      rotation(VIDEO_ROTATION_0),
      handle_(new_storage()) {}

OSTREL_FRAME_COPY_MEMBERS(VideoFrame, OSTREL_VIDEO_FRAME_FIELDS)

OSTREL_FRAME_PAYLOAD_MEMBERS(VideoFrame)

PixelFrame::PixelFrame()
    : pts(0),
      width(0),
      height(0),
      format(VIDEO_PIXEL_FORMAT_YUV420p),
      rotation(VIDEO_ROTATION_0),
      handle_(new_storage()) {}

OSTREL_FRAME_COPY_MEMBERS(PixelFrame, OSTREL_PIXEL_FRAME_FIELDS)

OSTREL_FRAME_PAYLOAD_MEMBERS(PixelFrame)

#undef OSTREL_FRAME_PAYLOAD_MEMBERS
#undef OSTREL_FRAME_COPY_MEMBERS
#undef OSTREL_ASSIGN_FIELD
#undef OSTREL_COPY_FIELD

}  // namespace vonu
}  // namespace ostrel
