// Room parameters, the event interface VONUCloudDelegate and the cloud interface VONUCloud.
#ifndef OSTREL_VONU_CLOUD_H_
#define OSTREL_VONU_CLOUD_H_

#include <cstddef>
#include <cstdint>

#include "ostrel_vonu_defines.h"

namespace ostrel {
namespace vonu {

enum VONUScene : unsigned int {
    VONU_SCENE_VIDEO_CALL = 0,
    VONU_SCENE_AUDIO_CALL = 1,
    VONU_SCENE_LIVE = 2,
    VONU_SCENE_VOICE_CHAT = 3,
    VONU_SCENE_RECORD = 4,
};

enum VONURole : unsigned int {
    VONU_ROLE_ANCHOR = 0,
    VONU_ROLE_AUDIENCE = 1,
};

enum ConnectionState : unsigned int {
    CONNECTION_STATE_INIT = 0,
    CONNECTION_STATE_DISCONNECTED = 1,
    CONNECTION_STATE_CONNECTING = 2,
    CONNECTION_STATE_CONNECTED = 3,
};

struct UserInfo {
    VonuString user_id;
};

enum AudioObtainMethod : unsigned int {
    AUDIO_OBTAIN_METHOD_GET = 0,
    AUDIO_OBTAIN_METHOD_CALLBACK = 1,
};

// How remote audio reaches the application.
struct AudioObtainParams {
    AudioObtainParams()
        : audio_obtain_method(AUDIO_OBTAIN_METHOD_CALLBACK),
          enable_remote_audio_mix(false),
          output_sample_rate(16000),
          output_channels(1),
          output_frame_length_ms(20),
          output_audio_codec_type(AUDIO_CODEC_TYPE_PCM) {}

    AudioObtainMethod audio_obtain_method;
    bool enable_remote_audio_mix;
    int output_sample_rate;
    int output_channels;
    int output_frame_length_ms;
    AudioCodecType output_audio_codec_type;
};

struct EnterRoomParams {
    EnterRoomParams();
    ~EnterRoomParams();

    RoomParams room;
    VONUScene scene;
    VONURole role;
    VonuString private_map_key;
    AudioObtainParams audio_obtain_params;
    bool use_pixel_frame_input;
    bool use_pixel_frame_output;
};

struct AudioEncodeParams {
    AudioEncodeParams()
        : channels(1), sample_rate(48000), frame_length_ms(20), bitrate_bps(51200), need_encode(true) {}

    int channels;
    int sample_rate;
    int frame_length_ms;
    int bitrate_bps;
    bool need_encode;
};

struct VideoEncodeParams {
    int frame_rate = 15;
    int bitrate_bps = 0;
    int gop_in_seconds = 3;
};

enum NetworkQuality : unsigned int {
    NETWORK_QUALITY_UNKNOWN = 0,
    NETWORK_QUALITY_EXCELLENT = 1,
    NETWORK_QUALITY_GOOD = 2,
    NETWORK_QUALITY_POOR = 3,
    NETWORK_QUALITY_BAD = 4,
    NETWORK_QUALITY_VERY_BAD = 5,
    NETWORK_QUALITY_DOWN = 6,
};

struct NetworkQualityInfo {
    NetworkQualityInfo() : user_id(""), quality(NETWORK_QUALITY_DOWN) {}

    VonuString user_id;
    NetworkQuality quality;
};

struct VADParams {
    bool enable;
};

struct AudioVolumeEvaluateParams {
    AudioVolumeEvaluateParams() : interval(300) {}

    uint32_t interval;
};

struct AsrMessage {
    AsrMessage() : speakerUserId(nullptr), text(nullptr) {}

    const char* speakerUserId;
    const char* text;
};

struct AsrParams {
    AsrParams() : sourceLanguage(nullptr) {}

    const char* sourceLanguage;
};

// Receives the events of one VONUCloud instance, on threads of the SDK.
class VONUCloudDelegate {
public:
    virtual void OnError(Error error) = 0;
    virtual void OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) = 0;
    virtual void OnEnterRoom() = 0;
    virtual void OnExitRoom() = 0;
    virtual void OnLocalAudioChannelCreated() = 0;
    virtual void OnLocalAudioChannelDestroyed() = 0;
    virtual void OnLocalVideoChannelCreated(StreamType stream_type) = 0;
    virtual void OnLocalVideoChannelDestroyed(StreamType stream_type) = 0;
    virtual void OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) = 0;
    virtual void OnRequestKeyFrame(StreamType stream_type) = 0;
    virtual void OnRemoteUserEnterRoom(const UserInfo& info) = 0;
    virtual void OnRemoteUserExitRoom(const UserInfo& info, int reason) = 0;
    virtual void OnRemoteAudioAvailable(const char* user_id, bool available) = 0;
    virtual void OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) = 0;
    virtual void OnRemoteVideoReceived(const char* user_id, StreamType type, const VideoFrame& frame) = 0;
    virtual void OnRemoteVideoReceived(const char* user_id, StreamType type, const PixelFrame& frame) = 0;
    virtual void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) = 0;
    virtual void OnRemoteMixedAudioReceived(const AudioFrame& frame) = 0;
    virtual void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type,
                                      const char* message, size_t length) = 0;
    virtual void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq,
                                       const char* message, size_t length) = 0;
    virtual void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code,
                                    uint32_t missed) = 0;
    virtual void OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                                  size_t remote_quality_count) = 0;
    virtual void OnUserVoiceVolume(VONUVolumeInfo* user_volumes, uint32_t user_volumes_count,
                                   uint32_t total_volume) {
        (void)user_volumes;
        (void)user_volumes_count;
        (void)total_volume;
    }
    virtual void OnReceiveAsrMessage(const AsrMessage& message) { (void)message; }
    virtual void OnAsrServiceError(int code, const char* message) {
        (void)code;
        (void)message;
    }

    virtual ~VONUCloudDelegate() {}
};

// One connection to the room service. Instances end only through Destroy.
class VONUCloud {
public:
    static VONUCloud* Create(VONUCloudDelegate* delegate);
    static void Destroy(VONUCloud* cloud);

    virtual int EnterRoom(const EnterRoomParams& params) = 0;
    virtual int ExitRoom() = 0;
    virtual int Subscribe(const char* user_id, StreamType type) = 0;
    virtual int Unsubscribe(const char* user_id, StreamType type) = 0;
    virtual int GetAudioFrame(AudioFrame* frame) = 0;
    virtual int CreateLocalAudioChannel(const AudioEncodeParams& params) = 0;
    virtual int SendAudioFrame(const AudioFrame& frame) = 0;
    virtual int SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) = 0;
    virtual int DestroyLocalAudioChannel() = 0;
    virtual int CreateLocalVideoChannel(StreamType type) = 0;
    virtual int SendVideoFrame(StreamType type, const VideoFrame& frame) = 0;
    virtual int SendVideoFrame(StreamType type, const PixelFrame& frame) = 0;
    virtual void SetVideoEncodeParam(StreamType type, const VideoEncodeParams& param) = 0;
    virtual int SendSeiMessage(int message_type, const char* message, size_t length) = 0;
    virtual bool SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable,
                                  bool ordered) = 0;
    virtual int DestroyLocalVideoChannel(StreamType type) = 0;
    virtual void EnableVoiceActivityDetection(const VADParams& params) = 0;
    virtual void EnableAudioVolumeEvaluation(bool enable, const AudioVolumeEvaluateParams& params) = 0;
    virtual void startAsrService(const AsrParams& params) = 0;
    virtual void stopAsrService() = 0;
    virtual VonuString CallExperimentalAPI(const char* json) = 0;

protected:
    virtual ~VONUCloud() {}
};

}  // namespace vonu
}  // namespace ostrel

#endif  // OSTREL_VONU_CLOUD_H_
