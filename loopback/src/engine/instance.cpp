// VONUCloud instances of the loopback SDK: Create, Destroy and every operation.
//
// This is the boundary between the application and the engine, and the one place that does
// what every call needs: it records the call for the control interface, refuses it on an
// instance inherited through fork() (that instance belongs to the parent's rooms, which the
// child abandoned), and mutes the call recorder while the engine works, so that the record
// members the engine itself uses are not recorded as calls.
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#include "call_recorder.h"
#include "engine/audio_receive.h"
#include "engine/audio_send.h"
#include "engine/custom_messages.h"
#include "engine/membership.h"
#include "engine/recorded_args.h"
#include "engine/registry.h"
#include "engine/video.h"
#include "fork_safety.h"
#include "logger.h"
#include "vonu/ostrel_vonu_cloud.h"

namespace ostrel {
namespace loopback {
namespace engine {

using namespace ostrel::vonu;
using call_recorder::Dict;

namespace {

constexpr const char kExperimentalReply[] = "{\"code\":-4,\"message\":\"not supported by the loopback SDK\"}";

Dict no_args() { return Dict(); }

class Instance final : public VONUCloud {
public:
    explicit Instance(InstancePtr state) : state_(std::move(state)), generation_(fork_safety::process_generation()) {}
    ~Instance() override = default;

    const InstancePtr& state() const { return state_; }
    bool inherited() const { return generation_ != fork_safety::process_generation(); }

    int EnterRoom(const EnterRoomParams& params) override {
        return call(
            "EnterRoom", [&] { return Dict().dict("params", enter_dict(params)); },
            [&] { return enter_room(state_, params); });
    }

    int ExitRoom() override {
        return call("ExitRoom", no_args, [&] { return exit_room(state_); });
    }

    int Subscribe(const char* user_id, StreamType type) override {
        return call(
            "Subscribe", [&] { return Dict().cstr("user_id", user_id).integer("type", type); },
            [&] { return subscribe(state_, user_id, type, true); });
    }

    int Unsubscribe(const char* user_id, StreamType type) override {
        return call(
            "Unsubscribe", [&] { return Dict().cstr("user_id", user_id).integer("type", type); },
            [&] { return subscribe(state_, user_id, type, false); });
    }

    int GetAudioFrame(AudioFrame* frame) override {
        const auto args = [&] {
            Dict d;
            if (frame == nullptr) return std::move(d.none("frame"));
            return std::move(d.dict("frame", audio_frame_dict(*frame)));
        };
        return call("GetAudioFrame", args, [&] { return get_audio_frame(state_, frame); });
    }

    int CreateLocalAudioChannel(const AudioEncodeParams& params) override {
        return call(
            "CreateLocalAudioChannel", [&] { return Dict().dict("params", audio_encode_dict(params)); },
            [&] { return create_audio_channel(state_, params); });
    }

    int SendAudioFrame(const AudioFrame& frame) override {
        return call(
            "SendAudioFrame", [&] { return Dict().dict("frame", audio_frame_dict(frame)); },
            [&] { return send_audio(state_, frame); });
    }

    int SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) override {
        const auto args = [&] {
            return Dict().dict("frame", audio_frame_dict(frame)).boolean("clear_send_queue", clear_send_queue);
        };
        return call("SendContinuousAudioFrame", args,
                    [&] { return send_continuous_audio(state_, frame, clear_send_queue); });
    }

    int DestroyLocalAudioChannel() override {
        return call("DestroyLocalAudioChannel", no_args, [&] { return destroy_audio_channel(state_); });
    }

    int CreateLocalVideoChannel(StreamType type) override {
        return call(
            "CreateLocalVideoChannel", [&] { return Dict().integer("type", type); },
            [&] { return create_video_channel(state_, type); });
    }

    int SendVideoFrame(StreamType type, const VideoFrame& frame) override {
        return call(
            "SendVideoFrame", [&] { return Dict().integer("type", type).dict("frame", video_frame_dict(frame)); },
            [&] { return send_video(state_, type, frame); });
    }

    int SendVideoFrame(StreamType type, const PixelFrame& frame) override {
        return call(
            "SendVideoFrame", [&] { return Dict().integer("type", type).dict("frame", pixel_frame_dict(frame)); },
            [&] { return send_pixels(state_, type, frame); });
    }

    void SetVideoEncodeParam(StreamType type, const VideoEncodeParams& param) override {
        call(
            "SetVideoEncodeParam", [&] { return Dict().integer("type", type).dict("param", video_encode_dict(param)); },
            [&] { set_video_encode_param(state_, type, param); });
    }

    int SendSeiMessage(int message_type, const char* message, size_t length) override {
        return call(
            "SendSeiMessage",
            [&] { return Dict().integer("message_type", message_type).payload("message", message, length); },
            [&] { return send_sei(state_, message_type, message, length); });
    }

    bool SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable, bool ordered) override {
        const auto args = [&] {
            return Dict()
                .uinteger("cmd_id", cmd_id)
                .payload("message", message, length)
                .boolean("reliable", reliable)
                .boolean("ordered", ordered);
        };
        // Delivery inside the process is always reliable and ordered, whatever the flags say.
        return call("SendCustomCmdMsg", args, [&] { return send_custom_cmd(state_, cmd_id, message, length); });
    }

    int DestroyLocalVideoChannel(StreamType type) override {
        return call(
            "DestroyLocalVideoChannel", [&] { return Dict().integer("type", type); },
            [&] { return destroy_video_channel(state_, type); });
    }

    void EnableVoiceActivityDetection(const VADParams& params) override {
        call(
            "EnableVoiceActivityDetection",
            [&] { return Dict().dict("params", Dict().boolean("enable", params.enable)); },
            [&] { enable_vad(state_, params.enable); });
    }

    void EnableAudioVolumeEvaluation(bool enable, const AudioVolumeEvaluateParams& params) override {
        call(
            "EnableAudioVolumeEvaluation",
            [&] {
                return Dict().boolean("enable", enable).dict("params", Dict().uinteger("interval", params.interval));
            },
            [&] {
                OSTREL_LOG(kInfo,
                           "EnableAudioVolumeEvaluation(%s): volume reports are not produced by the loopback SDK",
                           enable ? "true" : "false");
            },
            kEvenInherited);
    }

    void startAsrService(const AsrParams& params) override {
        call(
            "startAsrService",
            [&] { return Dict().dict("params", Dict().cstr("sourceLanguage", params.sourceLanguage)); },
            [&] {
                OSTREL_LOG(kInfo, "startAsrService: speech recognition is not available in the loopback SDK");
                state_->post(events::make_event("OnAsrServiceError", [](VONUCloudDelegate& d) {
                    d.OnAsrServiceError(ERR_NOT_SUPPORTED, "speech recognition is not available in the loopback SDK");
                }));
            });
    }

    void stopAsrService() override {
        call(
            "stopAsrService", no_args, [] {}, kEvenInherited);
    }

    VonuString CallExperimentalAPI(const char* json) override {
        call(
            "CallExperimentalAPI", [&] { return Dict().cstr("json", json); },
            [] { OSTREL_LOG(kInfo, "CallExperimentalAPI: no experimental API in the loopback SDK"); }, kEvenInherited);
        return VonuString(kExperimentalReply);
    }

private:
    // Operations that touch no room state run on an inherited instance too.
    static constexpr bool kEvenInherited = true;

    // Records the call, then runs `op` with the recorder muted. An inherited instance refuses:
    // ERR_INVALID_OPERATION, false, or nothing, by the operation's result type.
    template <typename Args, typename Op>
    auto call(const char* name, Args&& args, Op&& op, bool even_inherited = false) -> decltype(op()) {
        using Result = decltype(op());
        if (call_recorder::on()) call_recorder::record(name, args());
        if (inherited() && !even_inherited) {
            if constexpr (std::is_same<Result, bool>::value) {
                return false;
            } else if constexpr (std::is_same<Result, int>::value) {
                return ERR_INVALID_OPERATION;
            } else {
                return;
            }
        }
        call_recorder::Mute mute;
        return op();
    }

    InstancePtr state_;    // shared with the rooms and the service thread
    uint64_t generation_;  // the process that made the instance (see fork_safety.h)
};

}  // namespace

}  // namespace engine
}  // namespace loopback

namespace vonu {

VONUCloud* VONUCloud::Create(VONUCloudDelegate* delegate) {
    namespace rec = ::ostrel::loopback::call_recorder;
    if (rec::on()) {
        rec::Dict d;
        loopback::engine::pointer(d, "delegate", delegate);
        rec::record("Create", d);
    }
    rec::Mute mute;
    loopback::engine::InstancePtr state = loopback::engine::create_instance(delegate);
    if (!state) return nullptr;
    // Ownership passes to the caller until Destroy.
    return std::make_unique<loopback::engine::Instance>(std::move(state)).release();
}

void VONUCloud::Destroy(VONUCloud* cloud) {
    namespace rec = ::ostrel::loopback::call_recorder;
    if (rec::on()) rec::record("Destroy");
    if (cloud == nullptr) return;
    std::unique_ptr<loopback::engine::Instance> owned(static_cast<loopback::engine::Instance*>(cloud));
    if (owned->inherited()) {
        // Its state belongs to the parent's abandoned rooms, which may hold locks of threads
        // that do not exist here: left as it is.
        owned.release();
        return;
    }
    rec::Mute mute;
    loopback::engine::destroy_instance(owned->state());
}

}  // namespace vonu
}  // namespace ostrel
