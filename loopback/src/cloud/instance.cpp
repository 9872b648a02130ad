// VONUCloud instances of the loopback SDK: Create and Destroy, and every operation, each
// recorded for the control interface first and then carried out by the room world.
#include <cstdint>
#include <memory>
#include <utility>

#include "cloud/room.h"
#include "fork_safety.h"
#include "logger.h"
#include "record_access.h"
#include "recorder.h"
#include "vonu/ostrel_vonu_cloud.h"

namespace ostrel {
namespace loopback {
namespace cloud {

using namespace ostrel::vonu;
using recorder::Dict;

namespace {

Dict& pointer(Dict& d, const char* key, const void* p) {
    if (p == nullptr) return d.none(key);
    return d.uinteger(key, reinterpret_cast<uintptr_t>(p));
}

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

constexpr const char kExperimentalReply[] = "{\"code\":-4,\"message\":\"not supported by the loopback SDK\"}";

// One instance as the application sees it. It shares its state with the rooms and the
// service thread, which may hold on to it briefly after Destroy.
//
// An instance inherited through fork() belongs to the parent's rooms, which the child abandoned:
// every operation of it refuses (ERR_INVALID_OPERATION, false, or nothing) without touching them.
class Instance final : public VONUCloud {
public:
    explicit Instance(std::shared_ptr<Core> core)
        : core_(std::move(core)), generation_(fork_safety::process_generation()) {}
    ~Instance() override = default;

    const std::shared_ptr<Core>& core() const { return core_; }
    bool inherited() const { return generation_ != fork_safety::process_generation(); }

    int EnterRoom(const EnterRoomParams& params) override {
        if (recorder::on()) recorder::record("EnterRoom", Dict().dict("params", enter_dict(params)));
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().enter_room(core_, params);
    }

    int ExitRoom() override {
        if (recorder::on()) recorder::record("ExitRoom");
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().exit_room(core_);
    }

    int Subscribe(const char* user_id, StreamType type) override {
        if (recorder::on()) recorder::record("Subscribe", Dict().cstr("user_id", user_id).integer("type", type));
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().subscribe(core_, user_id, type, true);
    }

    int Unsubscribe(const char* user_id, StreamType type) override {
        if (recorder::on()) recorder::record("Unsubscribe", Dict().cstr("user_id", user_id).integer("type", type));
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().subscribe(core_, user_id, type, false);
    }

    int GetAudioFrame(AudioFrame* frame) override {
        if (recorder::on()) {
            Dict d;
            if (frame == nullptr) {
                d.none("frame");
            } else {
                d.dict("frame", audio_frame_dict(*frame));
            }
            recorder::record("GetAudioFrame", d);
        }
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().get_audio_frame(core_, frame);
    }

    int CreateLocalAudioChannel(const AudioEncodeParams& params) override {
        if (recorder::on()) recorder::record("CreateLocalAudioChannel", Dict().dict("params", audio_encode_dict(params)));
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().create_audio_channel(core_, params);
    }

    int SendAudioFrame(const AudioFrame& frame) override {
        if (recorder::on()) recorder::record("SendAudioFrame", Dict().dict("frame", audio_frame_dict(frame)));
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().send_audio(core_, frame);
    }

    int SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) override {
        if (recorder::on()) {
            recorder::record("SendContinuousAudioFrame", Dict()
                                                             .dict("frame", audio_frame_dict(frame))
                                                             .boolean("clear_send_queue", clear_send_queue));
        }
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().send_continuous_audio(core_, frame, clear_send_queue);
    }

    int DestroyLocalAudioChannel() override {
        if (recorder::on()) recorder::record("DestroyLocalAudioChannel");
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().destroy_audio_channel(core_);
    }

    int CreateLocalVideoChannel(StreamType type) override {
        if (recorder::on()) recorder::record("CreateLocalVideoChannel", Dict().integer("type", type));
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().create_video_channel(core_, type);
    }

    int SendVideoFrame(StreamType type, const VideoFrame& frame) override {
        if (recorder::on()) {
            recorder::record("SendVideoFrame", Dict().integer("type", type).dict("frame", video_frame_dict(frame)));
        }
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().send_video(core_, type, frame);
    }

    int SendVideoFrame(StreamType type, const PixelFrame& frame) override {
        if (recorder::on()) {
            recorder::record("SendVideoFrame", Dict().integer("type", type).dict("frame", pixel_frame_dict(frame)));
        }
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().send_pixels(core_, type, frame);
    }

    void SetVideoEncodeParam(StreamType type, const VideoEncodeParams& param) override {
        if (recorder::on()) {
            recorder::record("SetVideoEncodeParam",
                             Dict().integer("type", type).dict("param", video_encode_dict(param)));
        }
        if (inherited()) return;
        World::get().set_video_encode_param(core_, type, param);
    }

    int SendSeiMessage(int message_type, const char* message, size_t length) override {
        if (recorder::on()) {
            recorder::record("SendSeiMessage",
                             Dict().integer("message_type", message_type).payload("message", message, length));
        }
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().send_sei(core_, message_type, message, length);
    }

    bool SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable, bool ordered) override {
        if (recorder::on()) {
            recorder::record("SendCustomCmdMsg", Dict()
                                                     .uinteger("cmd_id", cmd_id)
                                                     .payload("message", message, length)
                                                     .boolean("reliable", reliable)
                                                     .boolean("ordered", ordered));
        }
        // Delivery inside the process is always reliable and ordered, whatever the flags say.
        if (inherited()) return false;
        return World::get().send_custom_cmd(core_, cmd_id, message, length);
    }

    int DestroyLocalVideoChannel(StreamType type) override {
        if (recorder::on()) recorder::record("DestroyLocalVideoChannel", Dict().integer("type", type));
        if (inherited()) return ERR_INVALID_OPERATION;
        return World::get().destroy_video_channel(core_, type);
    }

    void EnableVoiceActivityDetection(const VADParams& params) override {
        if (recorder::on()) {
            recorder::record("EnableVoiceActivityDetection", Dict().dict("params", Dict().boolean("enable", params.enable)));
        }
        if (inherited()) return;
        World::get().enable_vad(core_, params.enable);
    }

    void EnableAudioVolumeEvaluation(bool enable, const AudioVolumeEvaluateParams& params) override {
        if (recorder::on()) {
            recorder::record("EnableAudioVolumeEvaluation",
                             Dict().boolean("enable", enable).dict("params", Dict().uinteger("interval", params.interval)));
        }
        OSTREL_LOG(kInfo, "EnableAudioVolumeEvaluation(%s): volume reports are not produced by the loopback SDK",
                   enable ? "true" : "false");
    }

    void startAsrService(const AsrParams& params) override {
        if (recorder::on()) {
            recorder::record("startAsrService", Dict().dict("params", Dict().cstr("sourceLanguage", params.sourceLanguage)));
        }
        if (inherited()) return;
        OSTREL_LOG(kInfo, "startAsrService: speech recognition is not available in the loopback SDK");
        Event e;
        e.name = "OnAsrServiceError";
        e.deliver = [](VONUCloudDelegate& d) {
            d.OnAsrServiceError(ERR_NOT_SUPPORTED, "speech recognition is not available in the loopback SDK");
        };
        core_->post(std::move(e));
    }

    void stopAsrService() override {
        if (recorder::on()) recorder::record("stopAsrService");
    }

    VonuString CallExperimentalAPI(const char* json) override {
        if (recorder::on()) recorder::record("CallExperimentalAPI", Dict().cstr("json", json));
        OSTREL_LOG(kInfo, "CallExperimentalAPI: no experimental API in the loopback SDK");
        return VonuString(kExperimentalReply);
    }

private:
    std::shared_ptr<Core> core_;  // state shared with the rooms and the service thread
    uint64_t generation_;         // the process that made the instance (see fork_safety.h)
};

}  // namespace

}  // namespace cloud
}  // namespace loopback

namespace vonu {

VONUCloud* VONUCloud::Create(VONUCloudDelegate* delegate) {
    namespace rec = ::ostrel::loopback::recorder;
    if (rec::on()) {
        rec::Dict d;
        ::ostrel::loopback::cloud::pointer(d, "delegate", delegate);
        rec::record("Create", d);
    }
    std::shared_ptr<loopback::cloud::Core> core = loopback::cloud::World::get().create(delegate);
    if (!core) return nullptr;
    // Ownership passes to the caller until Destroy.
    return std::make_unique<loopback::cloud::Instance>(std::move(core)).release();
}

void VONUCloud::Destroy(VONUCloud* cloud) {
    namespace rec = ::ostrel::loopback::recorder;
    if (rec::on()) rec::record("Destroy");
    if (cloud == nullptr) return;
    std::unique_ptr<loopback::cloud::Instance> owned(static_cast<loopback::cloud::Instance*>(cloud));
    if (owned->inherited()) {
        // Its state belongs to the parent's abandoned rooms, which may hold locks of threads
        // that do not exist here: left as it is.
        owned.release();
        return;
    }
    loopback::cloud::World::get().destroy(owned->core());
}

}  // namespace vonu
}  // namespace ostrel
