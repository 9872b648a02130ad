// VONUCloudWrapper: owns one SDK cloud instance together with the delegate it reports to.
#ifndef OSTREL_CLOUD_WRAPPER_H_
#define OSTREL_CLOUD_WRAPPER_H_

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "delegate.h"
#include "vonu/ostrel_vonu_cloud.h"

// Lives in the global namespace, like the delegate, so that signatures show its native name.
class VONUCloudWrapper {
    using EnterRoomParams = ostrel::vonu::EnterRoomParams;
    using StreamType = ostrel::vonu::StreamType;
    using AudioFrame = ostrel::vonu::AudioFrame;
    using VideoFrame = ostrel::vonu::VideoFrame;
    using PixelFrame = ostrel::vonu::PixelFrame;
    using AudioEncodeParams = ostrel::vonu::AudioEncodeParams;
    using VideoEncodeParams = ostrel::vonu::VideoEncodeParams;
    using VADParams = ostrel::vonu::VADParams;

public:
    // Raises std::runtime_error when the SDK gives no instance, so no wrapper ever calls
    // through a null instance.
    explicit VONUCloudWrapper(std::shared_ptr<PyVONUCloudDelegate> delegate);
    // Runs without the GIL (the class releases it before calling the destructor), so Destroy
    // may wait for a callback of this instance that is itself waiting for the GIL.
    ~VONUCloudWrapper();

    VONUCloudWrapper(const VONUCloudWrapper&) = delete;
    VONUCloudWrapper& operator=(const VONUCloudWrapper&) = delete;
    VONUCloudWrapper(VONUCloudWrapper&&) = delete;
    VONUCloudWrapper& operator=(VONUCloudWrapper&&) = delete;

    int EnterRoom(const EnterRoomParams& params);
    int ExitRoom();
    int Subscribe(const std::string& user_id, StreamType type);
    int Unsubscribe(const std::string& user_id, StreamType type);
    int GetAudioFrame(AudioFrame* frame);
    int CreateLocalAudioChannel(const AudioEncodeParams& params);
    int DestroyLocalAudioChannel();
    int SendAudioFrame(const AudioFrame& frame);
    int SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue);
    int CreateLocalVideoChannel(StreamType type);
    int DestroyLocalVideoChannel(StreamType type);
    int SendVideoFrame(StreamType type, const VideoFrame& frame);
    int SendPixelFrame(StreamType type, const PixelFrame& frame);
    void SetVideoEncodeParam(StreamType type, const VideoEncodeParams& param);
    int SendSeiMessage(int message_type, pybind11::bytes message);
    int SendCustomCmdMsg(int32_t cmd_id, pybind11::bytes message, bool reliable, bool ordered);
    void EnableVoiceActivityDetection(const VADParams& params);

    // Destroys the SDK instance, then lets go of the delegate. Call without the GIL. After it,
    // no callback of the instance runs; the wrapper is then only fit for destruction. Two
    // instances are left undestroyed instead, because Destroy could not end well: one inherited
    // through fork() (it is the parent's), and one whose callback the exit gate gave up on at
    // interpreter exit (Destroy would wait for that callback forever).
    void Release();

private:
    // The SDK instance, for a call from Python; raises RuntimeError in a child process, where
    // the instance belongs to the parent, and after Release.
    ostrel::vonu::VONUCloud& cloud() const;
    // Made in another process: this one is a child of it, through fork().
    bool inherited() const;

    ostrel::vonu::VONUCloud* vonu_cloud_;            // owned; released only through Destroy
    std::shared_ptr<PyVONUCloudDelegate> delegate_;  // shared with the Python delegate object
    unsigned process_;                               // process_generation() at construction
};

namespace ostrel_binding {

void bind_cloud(pybind11::module_& m);

}  // namespace ostrel_binding

#endif  // OSTREL_CLOUD_WRAPPER_H_
