// PyVONUCloudDelegate: the SDK's event interface implemented by forwarding each event to the
// Python method of the same name, under the GIL, from the SDK's own threads.
#ifndef OSTREL_DELEGATE_H_
#define OSTREL_DELEGATE_H_

#include <pybind11/pybind11.h>

#include "vonu/ostrel_vonu_cloud.h"

// Lives in the global namespace: Python signatures that mention it show its native name.
class PyVONUCloudDelegate : public ostrel::vonu::VONUCloudDelegate {
public:
    using Error = ostrel::vonu::Error;
    using ConnectionState = ostrel::vonu::ConnectionState;
    using StreamType = ostrel::vonu::StreamType;
    using UserInfo = ostrel::vonu::UserInfo;
    using VideoFrame = ostrel::vonu::VideoFrame;
    using PixelFrame = ostrel::vonu::PixelFrame;
    using AudioFrame = ostrel::vonu::AudioFrame;
    using NetworkQualityInfo = ostrel::vonu::NetworkQualityInfo;


    ~PyVONUCloudDelegate() override {}

    void OnError(Error error) override;
    void OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) override;
    void OnEnterRoom() override;
    void OnExitRoom() override;
    void OnLocalAudioChannelCreated() override;
    void OnLocalAudioChannelDestroyed() override;
    void OnLocalVideoChannelCreated(StreamType stream_type) override;
    void OnLocalVideoChannelDestroyed(StreamType stream_type) override;
    void OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) override;
    void OnRequestKeyFrame(StreamType stream_type) override;
    void OnRemoteUserEnterRoom(const UserInfo& info) override;
    void OnRemoteUserExitRoom(const UserInfo& info, int reason) override;
    void OnRemoteAudioAvailable(const char* user_id, bool available) override;
    void OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) override;
    void OnRemoteVideoReceived(const char* user_id, StreamType type, const VideoFrame& frame) override;
    void OnRemoteVideoReceived(const char* user_id, StreamType type, const PixelFrame& frame) override;
    void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) override;
    void OnRemoteMixedAudioReceived(const AudioFrame& frame) override;
    void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type, const char* message,
                              size_t length) override;
    void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq, const char* message,
                               size_t length) override;
    void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code, uint32_t missed) override;
    void OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                          size_t remote_quality_count) override;
};

namespace ostrel_binding {

void bind_delegate(pybind11::module_& m);

}  // namespace ostrel_binding

#endif  // OSTREL_DELEGATE_H_
