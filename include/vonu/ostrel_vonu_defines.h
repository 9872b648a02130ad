// Records, enumerations and hook interfaces shared by the room API.
#ifndef OSTREL_VONU_DEFINES_H_
#define OSTREL_VONU_DEFINES_H_

#include <cstddef>
#include <cstdint>

namespace ostrel {
namespace vonu {

// Result codes of the cloud operations: 0 is success, every failure is negative.
enum Error : int {
    ERR_OK = 0,
    ERR_FAILED = -1,
    ERR_INVALID_PARAMETER = -2,
    ERR_INVALID_OPERATION = -3,
    ERR_NOT_SUPPORTED = -4,
    ERR_REQUEST_SERVER_TIMEOUT = -6,
    ERR_SERVER_PROCESS_FAILED = -7,
    ERR_READ_TRY_AGAIN = -102,
    ERR_NETWORK_UNREACHABLE = -103,
    ERR_ENTER_ROOM_FAILED = -3301,
    ERR_INVALID_SDK_APP_ID = -3317,
    ERR_INVALID_ROOM_ID = -3318,
    ERR_INVALID_USER_ID = -3319,
    ERR_INVALID_USER_SIG = -3320,
    ERR_SERVICE_SUSPENDED = -100013,
    ERR_BANNED_BY_SERVER = -205,
};

// Owned, NUL-terminated character string (UTF-8).
class VonuString {
public:
    VonuString();
    VonuString(const char* value);
    VonuString(const VonuString& other);
    ~VonuString();

    VonuString& operator=(const char* value);
    VonuString& operator=(const VonuString& other);

    void SetValue(const char* value);
    const char* GetValue() const;

private:
    char* str_;
};

// Owned byte buffer, used by the encryption hooks.
class VonuBuffer {
public:
    VonuBuffer();
    VonuBuffer(const VonuBuffer& other);
    VonuBuffer& operator=(const VonuBuffer& other);
    ~VonuBuffer();

    void SetData(const uint8_t* data, size_t size);
    void SetSize(size_t size);
    uint8_t* data();
    const uint8_t* cdata() const;
    size_t size() const;
    const void* handle() const;

private:
    void* handle_;
};

enum StreamType : int {
    STREAM_TYPE_UNKNOWN = -1,
    STREAM_TYPE_AUDIO = 1,
    STREAM_TYPE_VIDEO_HIGH = 2,
    STREAM_TYPE_VIDEO_LOW = 3,
    STREAM_TYPE_VIDEO_AUX = 7,
};

struct EncryptionData {
    EncryptionData();
    ~EncryptionData();

    int32_t room_id;
    VonuString str_room_id;
    VonuString user_id;
    StreamType stream_type;
    const VonuBuffer* decrypted;
    VonuBuffer* encrypted;
};

class EncryptionDelegate {
public:
    virtual bool OnDataEncrypt(EncryptionData& data) = 0;
    virtual ~EncryptionDelegate() {}
};

struct DecryptionData {
    DecryptionData();
    ~DecryptionData();

    int32_t room_id;
    VonuString str_room_id;
    VonuString user_id;
    StreamType stream_type;
    const VonuBuffer* encrypted;
    VonuBuffer* decrypted;
};

class DecryptionDelegate {
public:
    virtual bool OnDataDecrypt(DecryptionData& data) = 0;
    virtual ~DecryptionDelegate() {}
};

// Identity of the local user and of the room.
struct RoomParams {
    RoomParams();
    RoomParams(const RoomParams& other);
    ~RoomParams();

    uint32_t sdk_app_id;
    VonuString user_id;
    VonuString user_sig;
    uint32_t room_id;
    VonuString str_room_id;
    void* custom_data;
    DecryptionDelegate* decryption_delegate;
    EncryptionDelegate* encryption_delegate;
};

enum WatermarkType : unsigned int {
    kWatermarkImage = 1,
    kWatermarkText = 2,
    kWatermarkTimestamp = 3,
};

enum AudioCodecType : unsigned int {
    AUDIO_CODEC_TYPE_PCM = 0,
    AUDIO_CODEC_TYPE_OPUS = 1,
    AUDIO_CODEC_TYPE_AAC = 2,
};

class AudioFrame {
public:
    AudioFrame();
    AudioFrame(const AudioFrame& other);
    AudioFrame& operator=(const AudioFrame& other);
    ~AudioFrame();

    void SetData(const uint8_t* data, size_t size);
    void SetExtraData(const uint8_t* data, size_t size);
    const uint8_t* data() const;
    size_t size() const;
    const void* handle() const;

    int sample_rate;
    int channels;
    int bits_per_sample;
    AudioCodecType codec;
    uint32_t pts;
    bool has_voice;

private:
    void* handle_;
};

// Rotation in quarter turns.
enum VideoRotation : unsigned int {
    VIDEO_ROTATION_0 = 0,
    VIDEO_ROTATION_90 = 1,
    VIDEO_ROTATION_180 = 2,
    VIDEO_ROTATION_270 = 3,
};

enum VideoCodecType : unsigned int {
    VIDEO_CODEC_TYPE_H264 = 0,
    VIDEO_CODEC_TYPE_H265 = 1,
};

// Encoded video.
class VideoFrame {
public:
    VideoFrame();
    VideoFrame(const VideoFrame& other);
    VideoFrame& operator=(const VideoFrame& other);
    ~VideoFrame();

    void SetData(const uint8_t* data, size_t size);
    const uint8_t* data() const;
    size_t size() const;
    const void* handle() const;

    uint32_t pts;
    uint32_t dts;
    bool is_key_frame;
    VideoCodecType codec;
    VideoRotation rotation;

private:
    void* handle_;
};

enum VideoPixelFormat : unsigned int {
    VIDEO_PIXEL_FORMAT_YUV420p = 0,
    VIDEO_PIXEL_FORMAT_YUVA420p = 1,
    VIDEO_PIXEL_FORMAT_RGBA = 2,
};

// Raw pixels in the layout named by `format`.
class PixelFrame {
public:
    PixelFrame();
    PixelFrame(const PixelFrame& other);
    PixelFrame& operator=(const PixelFrame& other);
    ~PixelFrame();

    void SetData(const uint8_t* data, size_t size);
    const uint8_t* data() const;
    size_t size() const;
    const void* handle() const;

    uint32_t pts;
    uint32_t width;
    uint32_t height;
    VideoPixelFormat format;
    VideoRotation rotation;

private:
    void* handle_;
};

struct VONUVolumeInfo {
    VONUVolumeInfo() : user_id(""), volume(0) {}

    VonuString user_id;
    uint32_t volume;
};

}  // namespace vonu
}  // namespace ostrel

#endif  // OSTREL_VONU_DEFINES_H_
