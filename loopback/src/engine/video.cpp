#include "engine/video.h"

#include <algorithm>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/media_faults.h"
#include "engine/room_events.h"
#include "engine/undecodable.h"
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
            auto event = make_event("OnSeiMessageReceived", [id, type, message_type, message](Delegate& d) {
                d.OnSeiMessageReceived(id.c_str(), type, message_type, reinterpret_cast<const char*>(message->data()),
                                       message->size());
            });
            deliver_media(*m, MediaKind::sei, [event = std::move(event)](InstanceState& r) mutable { r.post(std::move(event)); });
        }
    }
    pending.clear();
}

// The bitrate a stream's H.264 encoder runs at: the sender's SetVideoEncodeParam bitrate (or
// the encoder's default for the picture), scaled down at a poorer network quality.
int encoder_bitrate(const InstanceState& inst, int index, int width, int height) {
    const VideoEncodeParams& p = inst.video_params[index];
    const double fps = p.frame_rate > 0 ? p.frame_rate : 15;
    const int base = p.bitrate_bps > 0 ? p.bitrate_bps : media::H264Encoder::default_bitrate(width, height, fps);
    return std::max(static_cast<int>(base * quality_factor(inst.session.quality)), 16000);
}

// The members that receive a sent frame: those that want the form it was sent in, and those
// that want the other form.
struct Receivers {
    std::vector<InstancePtr> same;
    std::vector<InstancePtr> other;
};

Receivers receivers_of(const InstancePtr& inst, StreamType type, bool pixels) {
    Receivers out;
    const std::pair<std::string, int> subscription{inst->session.user_id, type};
    for (const InstancePtr& m : inst->session.room->members) {
        const Session& r = m->session;
        if (m == inst || r.disconnected || !r.video.subscriptions.count(subscription)) continue;
        (r.pixel_output == pixels ? out.same : out.other).push_back(m);
    }
    return out;
}

// Logs, once per receiver and sender, that frames of this sender cannot be converted for it.
void not_delivered(const std::vector<InstancePtr>& to, const std::string& sender, const char* why) {
    for (const InstancePtr& m : to) {
        if (m->session.video.mismatch_logged.insert(sender).second) {
            OSTREL_LOG(kWarning, "'%s' cannot get the video of '%s' (%s): not delivered", m->session.user_id.c_str(),
                       sender.c_str(), why);
        }
    }
}

template <typename Frame>
void post_frame(const std::vector<InstancePtr>& to, const std::string& sender, StreamType type,
                std::shared_ptr<const Frame> frame) {
    if (to.empty()) return;
    constexpr const char* kEvent =
        std::is_same<Frame, PixelFrame>::value ? "OnRemotePixelFrameReceived" : "OnRemoteVideoFrameReceived";
    const size_t size = frame_payload(*frame).size();
    // One copy of the sender's id for every receiver's event, like the frame itself.
    auto from = std::make_shared<const std::string>(sender);
    for (const InstancePtr& m : to) {
        auto event = make_media_event(
            kEvent, size, [from, type, frame](Delegate& d) { d.OnRemoteVideoReceived(from->c_str(), type, *frame); });
        deliver_media(*m, MediaKind::video, [event = std::move(event)](InstanceState& r) mutable { r.post(std::move(event)); });
    }
}

// Pixel frames for receivers of encoded video: H.264 from the stream's one encoder.
void encode_for(InstanceState& inst, int index, const PixelFrame& frame, const std::vector<InstancePtr>& to) {
    VideoSession::Codecs& codecs = inst.session.video.codecs[index];
    const std::string& id = inst.session.user_id;
    const int w = static_cast<int>(frame.width);
    const int h = static_cast<int>(frame.height);
    if (!media::H264Encoder::supports(w, h)) {
        not_delivered(to, id, "H.264 needs an even width and height from 16 to 4096");
        return;
    }
    const std::vector<uint8_t>& payload = frame_payload(frame);
    media::I420View picture;
    bool ok = false;
    switch (frame.format) {
        case VIDEO_PIXEL_FORMAT_YUV420p:
            ok = media::i420_view(payload.data(), payload.size(), w, h, picture);
            break;
        case VIDEO_PIXEL_FORMAT_YUVA420p:
            ok = media::yuva420p_view(payload.data(), payload.size(), w, h, picture);  // alpha dropped
            break;
        case VIDEO_PIXEL_FORMAT_RGBA:
            ok = media::rgba_to_i420(payload.data(), 4 * w, w, h, codecs.converted);
            picture = codecs.converted.view();
            break;
    }
    if (!ok) return;
    const VideoEncodeParams& p = inst.video_params[index];
    if (!codecs.encoder || codecs.encoder->codec.config().width != w || codecs.encoder->codec.config().height != h) {
        media::H264EncoderConfig config;
        config.width = w;
        config.height = h;
        config.frame_rate = p.frame_rate > 0 ? p.frame_rate : 15;
        config.gop_seconds = p.gop_in_seconds > 0 ? p.gop_in_seconds : 3;
        config.bitrate_bps = encoder_bitrate(inst, index, w, h);
        codecs.encoder = std::make_unique<LiveH264Encoder>(config);
        codecs.key_frame_due = false;  // a new encoder starts with one
    }
    if (codecs.key_frame_due) {
        codecs.encoder->codec.force_key_frame();
        codecs.key_frame_due = false;
    }
    media::H264AccessUnit unit;
    if (!codecs.encoder->codec.encode(picture, frame.pts, unit)) return;
    auto encoded = std::make_shared<VideoFrame>();
    encoded->codec = VIDEO_CODEC_TYPE_H264;
    encoded->pts = frame.pts;
    encoded->dts = frame.pts;
    encoded->rotation = frame.rotation;
    encoded->is_key_frame = unit.idr;
    set_payload(*encoded, unit.data.data(), unit.data.size());
    post_frame<VideoFrame>(to, id, video_type(index), std::move(encoded));
}

// Encoded frames for receivers of pixel frames: H.264 decoded by the stream's one decoder.
void decode_for(const EngineLock& lock, InstanceState& inst, int index, const VideoFrame& frame,
                const std::vector<InstancePtr>& to) {
    const std::string& id = inst.session.user_id;
    if (frame.codec != VIDEO_CODEC_TYPE_H264) {
        not_delivered(to, id, "H.265 is not decoded by the loopback SDK");
        return;
    }
    VideoSession::Codecs& codecs = inst.session.video.codecs[index];
    if (!codecs.decoder) codecs.decoder = std::make_unique<LiveH264Decoder>();
    const std::vector<uint8_t>& payload = frame_payload(frame);
    switch (codecs.decoder->codec.decode(payload.data(), payload.size(), codecs.decoded)) {
        case media::H264Decoder::Result::kPicture:
            break;
        case media::H264Decoder::Result::kNoPicture:
            return;  // parameter sets alone, say
        case media::H264Decoder::Result::kError:
            note_undecodable(lock, inst, "H.264");
            return;  // nothing to show until the next key frame
    }
    auto pixels = std::make_shared<PixelFrame>();
    pixels->width = static_cast<uint32_t>(codecs.decoded.width());
    pixels->height = static_cast<uint32_t>(codecs.decoded.height());
    pixels->format = VIDEO_PIXEL_FORMAT_YUV420p;
    pixels->pts = frame.pts;
    pixels->rotation = frame.rotation;
    set_payload(*pixels, codecs.decoded.data().data(), codecs.decoded.data().size());
    post_frame<PixelFrame>(to, id, video_type(index), std::move(pixels));
}

bool valid_frame(const VideoFrame& f, size_t size) {
    return size != 0 && f.codec <= VIDEO_CODEC_TYPE_H265 && f.rotation <= VIDEO_ROTATION_270;
}

bool valid_frame(const PixelFrame& f, size_t size) {
    return f.width != 0 && f.height != 0 && f.width <= kMaxPixelDimension && f.height <= kMaxPixelDimension &&
           f.format <= VIDEO_PIXEL_FORMAT_RGBA && f.rotation <= VIDEO_ROTATION_270 &&
           size == pixel_bytes(f.format, f.width, f.height);
}

// The one send path of both frame forms: as sent to receivers of the same form, converted for
// the others. A conversion that no receiver needs is released.
template <typename Frame>
int send_frame(const InstancePtr& inst, StreamType type, const Frame& frame) {
    constexpr bool kPixels = std::is_same<Frame, PixelFrame>::value;
    const int index = video_index(type);
    if (index < 0) return ERR_INVALID_PARAMETER;
    EngineLock lock = Engine::get().lock();
    Session& s = inst->session;
    if (!inst->in_room() || !s.video.channel[index] || s.pixel_input != kPixels) return ERR_INVALID_OPERATION;
    if (!valid_frame(frame, frame_payload(frame).size())) return ERR_INVALID_PARAMETER;
    if (s.disconnected) return ERR_NETWORK_UNREACHABLE;
    deliver_sei(*inst, index);
    const Receivers to = receivers_of(inst, type, kPixels);
    post_frame<Frame>(to.same, s.user_id, type, std::make_shared<const Frame>(frame));
    VideoSession::Codecs& codecs = s.video.codecs[index];
    if constexpr (kPixels) {
        if (to.other.empty()) {
            codecs.encoder.reset();
        } else {
            encode_for(*inst, index, frame, to.other);
        }
    } else {
        if (to.other.empty()) {
            codecs.decoder.reset();
        } else {
            decode_for(lock, *inst, index, frame, to.other);
        }
    }
    return ERR_OK;
}

}  // namespace

void release_unneeded_codecs(const EngineLock& lock, const InstancePtr& inst, int index) {
    (void)lock;
    VideoSession::Codecs& codecs = inst->session.video.codecs[index];
    if (!codecs.encoder && !codecs.decoder) return;
    if (receivers_of(inst, video_type(index), inst->session.pixel_input).other.empty()) {
        codecs.encoder.reset();
        codecs.decoder.reset();
    }
}

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
    c.session.video.codecs[index] = VideoSession::Codecs{};
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
        inst.session.video.codecs[i] = VideoSession::Codecs{};
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
    // A running encoder follows the new parameters from its next frame on.
    if (const auto& encoder = inst->session.video.codecs[index].encoder) {
        media::H264Encoder& e = encoder->codec;
        if (param.frame_rate > 0) e.set_frame_rate(param.frame_rate);
        if (param.gop_in_seconds > 0) e.set_gop_seconds(param.gop_in_seconds);
        e.set_bitrate(encoder_bitrate(*inst, index, e.config().width, e.config().height));
    }
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
        // The SDK's own encoder of this stream, if it runs one, follows the request at once.
        if (const auto& encoder = inst.session.video.codecs[i].encoder) {
            media::H264Encoder& e = encoder->codec;
            e.set_bitrate(encoder_bitrate(inst, i, e.config().width, e.config().height));
        }
        inst.post(make_event("OnRequestChangeVideoEncodeBitrate",
                             [type, bitrate](Delegate& d) { d.OnRequestChangeVideoEncodeBitrate(type, bitrate); }));
    }
}

}  // namespace ostrel::loopback::engine
