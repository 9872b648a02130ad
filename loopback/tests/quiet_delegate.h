// A delegate that ignores every event: the base of the test delegates and the benchmark's.
#ifndef OSTREL_LOOPBACK_TESTS_QUIET_DELEGATE_H_
#define OSTREL_LOOPBACK_TESTS_QUIET_DELEGATE_H_

#include <cstddef>
#include <cstdint>

#include "vonu/ostrel_vonu_cloud.h"

namespace cloud_test {

using namespace ostrel::vonu;

class QuietDelegate : public VONUCloudDelegate {
public:
    void OnError(Error) override {}
    void OnConnectionStateChanged(ConnectionState, ConnectionState) override {}
    void OnEnterRoom() override {}
    void OnExitRoom() override {}
    void OnLocalAudioChannelCreated() override {}
    void OnLocalAudioChannelDestroyed() override {}
    void OnLocalVideoChannelCreated(StreamType) override {}
    void OnLocalVideoChannelDestroyed(StreamType) override {}
    void OnRequestChangeVideoEncodeBitrate(StreamType, int) override {}
    void OnRequestKeyFrame(StreamType) override {}
    void OnRemoteUserEnterRoom(const UserInfo&) override {}
    void OnRemoteUserExitRoom(const UserInfo&, int) override {}
    void OnRemoteAudioAvailable(const char*, bool) override {}
    void OnRemoteVideoAvailable(const char*, bool, StreamType) override {}
    void OnRemoteVideoReceived(const char*, StreamType, const VideoFrame&) override {}
    void OnRemoteVideoReceived(const char*, StreamType, const PixelFrame&) override {}
    void OnRemoteAudioReceived(const char*, const AudioFrame&) override {}
    void OnRemoteMixedAudioReceived(const AudioFrame&) override {}
    void OnSeiMessageReceived(const char*, StreamType, int, const char*, size_t) override {}
    void OnReceiveCustomCmdMsg(const char*, int32_t, uint32_t, const char*, size_t) override {}
    void OnMissCustomCmdMsg(const char*, int32_t, uint32_t, uint32_t) override {}
    void OnNetworkQuality(NetworkQualityInfo*, NetworkQualityInfo*, size_t) override {}
};

}  // namespace cloud_test

#endif  // OSTREL_LOOPBACK_TESTS_QUIET_DELEGATE_H_
