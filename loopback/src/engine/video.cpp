#include "engine/video.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/room_events.h"
#include "logger.h"
#include "record_access.h"

namespace ostrel::loopback::engine {

using namespace ostrel::vonu;

namespace {

// Bytes in one pixel frame of that format and size; 0 for an unknown format.
size_t pixel_bytes(VideoPixelFormat format, uint32_t width, uint32_t height) {
    const size_t w = width;
    const size_t h = height;
    const size_t chroma = ((w + 1) / 2) * ((h + 1) / 2);
    switch (format) {
        case VIDEO_PIXEL_FORMAT_YUV420p:
            return w * h + 2 * chroma;
        case VIDEO_PIXEL_FORMAT_YUVA420p:
            return 2 * w * h + 2 * chroma;
        case VIDEO_PIXEL_FORMAT_RGBA:
            return 4 * w * h;
    }
    return 0;
}

// Share of the configured bitrate a sender is asked to use at each network quality.
double quality_factor(NetworkQuality quality) {
    switch (quality) {
        case NETWORK_QUALITY_UNKNOWN:
        case NETWORK_QUALITY_EXCELLENT:
            return 1.0;
        case NETWORK_QUALITY_GOOD:
            return 0.8;
        case NETWORK_QUALITY_POOR:
            return 0.5;
        case NETWORK_QUALITY_BAD:
            return 0.3;
        case NETWORK_QUALITY_VERY_BAD:
            return 0.15;
        case NETWORK_QUALITY_DOWN:
            return 0.0;
    }
    return 1.0;
}

bool any_channel(const InstanceState& inst) {
    const auto& channel = inst.session.video.channel;
    return std::any_of(channel.begin(), channel.end(), [](bool b) { return b; });
}

// The SEI messages waiting on the sender go out to its subscribers of stream `index`.
void deliver_sei(InstanceState& sender, int index) {
    auto& pending = sender.session.video.pending_sei;
    if (pending.empty()) return;
    const StreamType type = video_type(index);
    const std::string id = sender.session.user_id;
    for (VideoSession::Sei& sei : pending) {
        auto message = std::make_shared<const std::vector<uint8_t>>(std::move(sei.message));
        const int message_type = sei.message_type;
        for (const InstancePtr& m : sender.session.room->members) {
            if (m.get() == &sender || m->session.disconnected || !m->session.video.subscriptions.count({id, type}))
                continue;
            m->post(make_event("OnSeiMessageReceived", [id, type, message_type, message](Delegate& d) {
                d.OnSeiMessageReceived(id.c_str(), type, message_type, reinterpret_cast<const char*>(message->data()),
                                       message->size());
            }));
        }
    }
    pending.clear();
}

// What the two frame forms differ in on their way to the receivers.
template <typename Frame>
struct Form;
template <>
struct Form<VideoFrame> {
    static constexpr bool kPixels = false;
    static constexpr const char* kEvent = "OnRemoteVideoFrameReceived";
    static constexpr const char* kMismatch = "'%s' wants pixel frames but '%s' sends encoded video: not delivered";
    static bool valid(const VideoFrame& f, size_t size) {
        return size != 0 && f.codec <= VIDEO_CODEC_TYPE_H265 && f.rotation <= VIDEO_ROTATION_270;
    }
};
template <>
struct Form<PixelFrame> {
    static constexpr bool kPixels = true;
    static constexpr const char* kEvent = "OnRemotePixelFrameReceived";
    static constexpr const char* kMismatch = "'%s' wants encoded video but '%s' sends pixel frames: not delivered";
    static bool valid(const PixelFrame& f, size_t size) {
        return f.width != 0 && f.height != 0 && f.width <= kMaxPixelDimension && f.height <= kMaxPixelDimension &&
               f.format <= VIDEO_PIXEL_FORMAT_RGBA && f.rotation <= VIDEO_ROTATION_270 &&
               size == pixel_bytes(f.format, f.width, f.height);
    }
};

// The one send path of both frame forms.
template <typename Frame>
int send_frame(const InstancePtr& inst, StreamType type, const Frame& frame) {
    using F = Form<Frame>;
    const int index = video_index(type);
    if (index < 0) return ERR_INVALID_PARAMETER;
    EngineLock lock = Engine::get().lock();
    Session& s = inst->session;
    if (!inst->in_room() || !s.video.channel[index] || s.pixel_input != F::kPixels) return ERR_INVALID_OPERATION;
    const size_t size = frame_payload(frame).size();
    if (!F::valid(frame, size)) return ERR_INVALID_PARAMETER;
    if (s.disconnected) return ERR_NETWORK_UNREACHABLE;
    deliver_sei(*inst, index);
    auto copy = std::make_shared<const Frame>(frame);
    const std::string& id = s.user_id;
    const std::pair<std::string, int> subscription{id, type};
    // One copy of the sender's id for every receiver's event, like the frame itself.
    std::shared_ptr<const std::string> from;
    for (const InstancePtr& m : s.room->members) {
        Session& r = m->session;
        if (m == inst || r.disconnected || !r.video.subscriptions.count(subscription)) continue;
        if (r.pixel_output != F::kPixels) {
            if (r.video.mismatch_logged.insert(id).second) OSTREL_LOG(kWarning, F::kMismatch, r.user_id.c_str(), id.c_str());
            continue;
        }
        if (!from) from = std::make_shared<const std::string>(id);
        m->post(make_media_event(F::kEvent, size,
                                 [from, type, copy](Delegate& d) { d.OnRemoteVideoReceived(from->c_str(), type, *copy); }));
    }
    return ERR_OK;
}

}  // namespace

int create_video_channel(const InstancePtr& inst, StreamType type) {
    const int index = video_index(type);
    if (index < 0) return ERR_INVALID_PARAMETER;
    EngineLock lock = Engine::get().lock();
    InstanceState& c = *inst;
    if (!c.in_room() || !c.anchor() || c.session.video.channel[index]) return ERR_INVALID_OPERATION;
    c.session.video.channel[index] = true;
    c.post(make_event("OnLocalVideoChannelCreated", [type](Delegate& d) { d.OnLocalVideoChannelCreated(type); }));
    const std::string id = c.session.user_id;
    bool subscribed = false;
    for (const InstancePtr& m : c.session.room->members) {
        if (m == inst) continue;
        m->post(video_available(id, true, type));
        if (m->session.video.subscriptions.count({id, type})) subscribed = true;
    }
    // Subscribers who asked before the stream existed need a key frame.
    if (subscribed) c.post(key_frame_request(type));
    return ERR_OK;
}

int destroy_video_channel(const InstancePtr& inst, StreamType type) {
    const int index = video_index(type);
    if (index < 0) return ERR_INVALID_PARAMETER;
    EngineLock lock = Engine::get().lock();
    InstanceState& c = *inst;
    if (!c.in_room() || !c.session.video.channel[index]) return ERR_INVALID_OPERATION;
    c.session.video.channel[index] = false;
    c.post(make_event("OnLocalVideoChannelDestroyed", [type](Delegate& d) { d.OnLocalVideoChannelDestroyed(type); }));
    const std::string id = c.session.user_id;
    for (const InstancePtr& m : c.session.room->members) {
        if (m != inst) m->post(video_available(id, false, type));
    }
    if (!any_channel(c)) c.session.video.pending_sei.clear();
    return ERR_OK;
}

void end_video_channels(const EngineLock& lock, InstanceState& inst, bool notify_self) {
    (void)lock;
    const std::string id = inst.session.user_id;
    for (int i = 0; i < kVideoStreams; ++i) {
        if (!inst.session.video.channel[i]) continue;
        inst.session.video.channel[i] = false;
        const StreamType type = video_type(i);
        if (notify_self) {
            inst.post(make_event("OnLocalVideoChannelDestroyed", [type](Delegate& d) { d.OnLocalVideoChannelDestroyed(type); }));
        }
        for (const InstancePtr& m : inst.session.room->members) {
            if (m.get() != &inst) m->post(video_available(id, false, type));
        }
    }
    inst.session.video.pending_sei.clear();
}

void set_video_encode_param(const InstancePtr& inst, StreamType type, const VideoEncodeParams& param) {
    const int index = video_index(type);
    if (index < 0) {
        OSTREL_LOG(kWarning, "SetVideoEncodeParam ignored: stream type %d is not a video stream", static_cast<int>(type));
        return;
    }
    EngineLock lock = Engine::get().lock();
    inst->video_params[index] = param;
}

int send_video(const InstancePtr& inst, StreamType type, const VideoFrame& frame) { return send_frame(inst, type, frame); }

int send_pixels(const InstancePtr& inst, StreamType type, const PixelFrame& frame) { return send_frame(inst, type, frame); }

int send_sei(const InstancePtr& inst, int message_type, const char* message, size_t length) {
    EngineLock lock = Engine::get().lock();
    if (!inst->in_room() || !any_channel(*inst)) return ERR_INVALID_OPERATION;
    if (message_type != kSeiTypeUserData && (message_type < kMinSeiType || message_type > kMaxSeiType))
        return ERR_INVALID_PARAMETER;
    if (message == nullptr || length == 0 || length > kMaxSeiBytes) return ERR_INVALID_PARAMETER;
    auto& pending = inst->session.video.pending_sei;
    if (pending.size() >= kMaxPendingSei) return ERR_READ_TRY_AGAIN;
    pending.push_back(VideoSession::Sei{message_type, std::vector<uint8_t>(message, message + length)});
    return ERR_OK;
}

void request_bitrate(const EngineLock& lock, InstanceState& inst) {
    (void)lock;
    for (int i = 0; i < kVideoStreams; ++i) {
        if (!inst.session.video.channel[i]) continue;
        const VideoEncodeParams& p = inst.video_params[i];
        const int base = p.bitrate_bps > 0 ? p.bitrate_bps : default_bitrate(i);
        const int bitrate = static_cast<int>(base * quality_factor(inst.session.quality));
        const StreamType type = video_type(i);
        inst.post(make_event("OnRequestChangeVideoEncodeBitrate",
                             [type, bitrate](Delegate& d) { d.OnRequestChangeVideoEncodeBitrate(type, bitrate); }));
    }
}

}  // namespace ostrel::loopback::engine
