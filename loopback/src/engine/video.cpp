#include "engine/video.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/addressees.h"
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

// A stream ends: its worker stops (its queued frames are not delivered) and its codecs go, now
// or with the conversion that runs (the last holder of them is that conversion's job).
void end_stream(VideoSession::Stream& stream) {
    stream.codecs->closed = true;
    stream.codecs->release_if_idle();
    stream = VideoSession::Stream{};
}

// Nobody wants the stream converted any more: its codecs go now if idle, and in any case after
// the conversions still queued (which may have made them again).
void release_codecs(VideoSession::Stream& stream) {
    stream.codecs->release_if_idle();
    if (stream.converting) stream.worker.post([codecs = stream.codecs](bool) { codecs->release(); }, 0);
    stream.converting = false;
}

bool any_channel(const InstanceState& inst) {
    const auto& channel = inst.session.video.channel;
    return std::any_of(channel.begin(), channel.end(), [](bool b) { return b; });
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
        deliver_media(*m, MediaKind::video,
                      [event = std::move(event)](InstanceState& r) mutable { r.post(std::move(event)); });
    }
}

// What the worker needs from the engine state to encode one frame, taken under the engine lock.
struct EncodeOrder {
    media::H264EncoderConfig config;  // for a new encoder; its bitrate also for a running one
    VideoEncodeParams params;         // SetVideoEncodeParam's: a running encoder follows those set
    bool key_frame = false;           // code an IDR
};

EncodeOrder encode_order(InstanceState& inst, int index, int width, int height) {
    const VideoEncodeParams& p = inst.video_params[index];
    VideoSession::Stream& stream = inst.session.video.streams[index];
    EncodeOrder order;
    order.config.width = width;
    order.config.height = height;
    order.config.frame_rate = p.frame_rate > 0 ? p.frame_rate : 15;
    order.config.gop_seconds = p.gop_in_seconds > 0 ? p.gop_in_seconds : 3;
    order.config.bitrate_bps = encoder_bitrate(inst, index, width, height);
    order.params = p;
    order.key_frame = std::exchange(stream.key_frame_due, false);
    return order;
}

// Encodes one pixel frame with the stream's encoder (made, or remade for a new size, here).
// Runs on the worker without the engine lock.
std::shared_ptr<VideoFrame> encode(StreamCodecs& codecs, const PixelFrame& frame, const EncodeOrder& order) {
    std::lock_guard<std::mutex> hold(codecs.mutex);
    if (codecs.closed) return nullptr;
    const int w = order.config.width;
    const int h = order.config.height;
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
    if (!ok) return nullptr;
    if (!codecs.encoder || codecs.encoder->codec.config().width != w || codecs.encoder->codec.config().height != h) {
        codecs.encoder = std::make_unique<LiveH264Encoder>(order.config);  // starts with an IDR
    } else {
        // A parameter left at 0 keeps what the encoder runs with.
        media::H264Encoder& e = codecs.encoder->codec;
        const VideoEncodeParams& p = order.params;
        if (p.frame_rate > 0 && e.config().frame_rate != p.frame_rate) e.set_frame_rate(p.frame_rate);
        if (p.gop_in_seconds > 0 && e.config().gop_seconds != p.gop_in_seconds) e.set_gop_seconds(p.gop_in_seconds);
        if (e.config().bitrate_bps != order.config.bitrate_bps) e.set_bitrate(order.config.bitrate_bps);
        if (order.key_frame) e.force_key_frame();
    }
    media::H264AccessUnit unit;
    if (!codecs.encoder->codec.encode(picture, frame.pts, unit)) return nullptr;
    auto encoded = std::make_shared<VideoFrame>();
    encoded->codec = VIDEO_CODEC_TYPE_H264;
    encoded->pts = frame.pts;
    encoded->dts = frame.pts;
    encoded->rotation = frame.rotation;
    encoded->is_key_frame = unit.idr;
    set_payload(*encoded, unit.data.data(), unit.data.size());
    return encoded;
}

// The picture one access unit decodes to, with the stream's decoder; null without one (and
// `error` true when the decoder refused the unit). Runs on the worker without the engine lock.
std::shared_ptr<PixelFrame> decode(StreamCodecs& codecs, const VideoFrame& frame, bool& error) {
    std::lock_guard<std::mutex> hold(codecs.mutex);
    if (codecs.closed) return nullptr;
    if (!codecs.decoder) codecs.decoder = std::make_unique<LiveH264Decoder>();
    const std::vector<uint8_t>& payload = frame_payload(frame);
    switch (codecs.decoder->codec.decode(payload.data(), payload.size(), codecs.decoded)) {
        case media::H264Decoder::Result::kPicture:
            break;
        case media::H264Decoder::Result::kNoPicture:
            return nullptr;  // parameter sets alone, say
        case media::H264Decoder::Result::kError:
            error = true;
            return nullptr;  // nothing to show until the next key frame
    }
    auto pixels = std::make_shared<PixelFrame>();
    pixels->width = static_cast<uint32_t>(codecs.decoded.width());
    pixels->height = static_cast<uint32_t>(codecs.decoded.height());
    pixels->format = VIDEO_PIXEL_FORMAT_YUV420p;
    pixels->pts = frame.pts;
    pixels->rotation = frame.rotation;
    set_payload(*pixels, codecs.decoded.data().data(), codecs.decoded.data().size());
    return pixels;
}

// Those of `to` that still receive stream `type` of `sender`: connected and subscribed.
std::vector<InstancePtr> still_receiving(const EngineLock& lock, const InstanceState& sender, StreamType type,
                                         const std::vector<Addressee>& to) {
    const std::pair<std::string, int> subscription{sender.session.user_id, type};
    return still_addressed(lock, sender, to, [&subscription](const InstanceState& m) {
        return !m.session.disconnected && m.session.video.subscriptions.count(subscription) > 0;
    });
}

// An SEI message on its way with a frame, shared by its receivers.
struct SeiOut {
    int message_type;                                     // as SendSeiMessage got it
    std::shared_ptr<const std::vector<uint8_t>> message;  // its bytes
};

// The SEI messages that travel with a frame go out to its receivers, right before the frame.
void deliver_sei(const std::string& sender, StreamType type, const std::vector<SeiOut>& messages,
                 const std::vector<InstancePtr>& to) {
    for (const SeiOut& sei : messages) {
        for (const InstancePtr& m : to) {
            auto event = make_event("OnSeiMessageReceived", [id = sender, type, sei](Delegate& d) {
                d.OnSeiMessageReceived(id.c_str(), type, sei.message_type,
                                       reinterpret_cast<const char*>(sei.message->data()), sei.message->size());
            });
            deliver_media(*m, MediaKind::sei,
                          [event = std::move(event)](InstanceState& r) mutable { r.post(std::move(event)); });
        }
    }
}

// The sender, while the worker running this is still the one of its stream `index`: not after
// the channel or the stay in the room ended (their frames are not delivered).
InstancePtr current_sender(const EngineLock& lock, const std::weak_ptr<InstanceState>& weak, int index) {
    (void)lock;
    InstancePtr inst = weak.lock();
    if (!inst || !inst->in_room() || !inst->session.video.channel[index] ||
        !inst->session.video.streams[index].worker.on_own_thread())
        return nullptr;
    return inst;
}

// One sent frame to convert, as the send queued it for the stream's worker.
template <typename Frame>
struct ToConvert {
    std::shared_ptr<const Frame> frame;    // a copy of the sent frame
    std::vector<Addressee> to;             // the receivers of the other form
    std::shared_ptr<StreamCodecs> codecs;  // the stream's conversions
    EncodeOrder order;                     // for a pixel frame
    std::vector<SeiOut> sei;               // SEI messages travelling with it
    std::weak_ptr<FramePool<Frame>> pool;  // for a pixel frame: the stream's frames for reuse
};

// The conversion of one sent frame, on the stream's worker: converted without the engine lock,
// then handed with its SEI messages to the receivers that still receive the stream.
template <typename Frame>
void deliver_converted(const std::weak_ptr<InstanceState>& weak, int index, ToConvert<Frame>& job, bool after_drop) {
    constexpr bool kPixels = std::is_same<Frame, PixelFrame>::value;
    bool error = false;
    std::shared_ptr<const void> converted;
    if constexpr (kPixels) {
        // The receivers miss the frames a drop took, which the next one would refer to.
        job.order.key_frame = job.order.key_frame || after_drop;
        converted = encode(*job.codecs, *job.frame, job.order);
    } else {
        converted = decode(*job.codecs, *job.frame, error);
    }
    EngineLock lock = Engine::get().lock();
    InstancePtr inst = current_sender(lock, weak, index);
    if (!inst) return;
    const StreamType type = video_type(index);
    // The decoder missed the units a drop took: the sender is asked for a key frame.
    if (!kPixels && after_drop) inst->post(key_frame_request(type));
    const std::vector<InstancePtr> to = still_receiving(lock, *inst, type, job.to);
    deliver_sei(inst->session.user_id, type, job.sei, to);
    if (error) note_undecodable(lock, *inst, "H.264");
    if (!converted) return;
    using Converted = std::conditional_t<kPixels, VideoFrame, PixelFrame>;
    post_frame<Converted>(to, inst->session.user_id, type, std::static_pointer_cast<const Converted>(converted));
}

bool valid_frame(const VideoFrame& f, size_t size) {
    return size != 0 && f.codec <= VIDEO_CODEC_TYPE_H265 && f.rotation <= VIDEO_ROTATION_270;
}

bool valid_frame(const PixelFrame& f, size_t size) {
    return f.width != 0 && f.height != 0 && f.width <= kMaxPixelDimension && f.height <= kMaxPixelDimension &&
           f.format <= VIDEO_PIXEL_FORMAT_RGBA && f.rotation <= VIDEO_ROTATION_270 &&
           size == pixel_bytes(f.format, f.width, f.height);
}

// The one send path of both frame forms. The caller's thread validates, and hands the frame (and
// the SEI messages waiting) to the receivers that want it as sent. A frame that others want in the
// other form goes to the stream's worker, which converts it (deliver_converted); once nobody
// wants it converted, the worker releases the conversion.
template <typename Frame>
int send_frame(const InstancePtr& inst, StreamType type, const Frame& frame) {
    constexpr bool kPixels = std::is_same<Frame, PixelFrame>::value;
    const int index = video_index(type);
    if (index < 0) return ERR_INVALID_PARAMETER;
    EngineLock lock = Engine::get().lock();
    Session& s = inst->session;
    if (!inst->in_room() || !s.video.channel[index] || s.pixel_input != kPixels) return ERR_INVALID_OPERATION;
    const size_t bytes = frame_payload(frame).size();
    if (!valid_frame(frame, bytes)) return ERR_INVALID_PARAMETER;
    if (s.disconnected) return ERR_NETWORK_UNREACHABLE;
    std::vector<SeiOut> sei;
    for (VideoSession::Sei& m : s.video.pending_sei) {
        sei.push_back(SeiOut{m.message_type, std::make_shared<const std::vector<uint8_t>>(std::move(m.message))});
    }
    s.video.pending_sei.clear();
    const Receivers to = receivers_of(inst, type, kPixels);
    VideoSession::Stream& stream = s.video.streams[index];
    std::shared_ptr<const Frame> copy;
    if constexpr (kPixels) {
        copy = stream.pixel_frames->copy(frame);  // raw frames are large: reuse earlier copies
    } else {
        copy = std::make_shared<const Frame>(frame);
    }
    bool convert = false;
    if (!to.other.empty()) {
        if constexpr (kPixels) {
            convert = media::H264Encoder::supports(static_cast<int>(frame.width), static_cast<int>(frame.height));
            if (!convert) not_delivered(to.other, s.user_id, "H.264 needs an even width and height from 16 to 4096");
        } else {
            convert = frame.codec == VIDEO_CODEC_TYPE_H264;
            if (!convert) not_delivered(to.other, s.user_id, "H.265 is not decoded by the loopback SDK");
        }
    }
    // Receivers that get nothing converted still get the SEI messages, now.
    std::vector<InstancePtr> sei_now = to.same;
    if (!convert) sei_now.insert(sei_now.end(), to.other.begin(), to.other.end());
    deliver_sei(s.user_id, type, sei, sei_now);
    post_frame<Frame>(to.same, s.user_id, type, copy);
    if (!convert) {
        if (to.other.empty()) release_codecs(stream);
        return ERR_OK;
    }
    auto job = std::make_shared<ToConvert<Frame>>();
    job->frame = std::move(copy);
    job->to = addressees(to.other);
    job->codecs = stream.codecs;
    if constexpr (kPixels) {
        job->order = encode_order(*inst, index, static_cast<int>(frame.width), static_cast<int>(frame.height));
        job->pool = stream.pixel_frames;
    }
    job->sei = std::move(sei);
    if (!stream.worker) stream.worker = events::SendWorker::start("video conversion", inst->id);
    stream.converting = true;
    stream.worker.post(
        [weak = std::weak_ptr<InstanceState>(inst), index, job = std::move(job)](bool after_drop) {
            deliver_converted<Frame>(weak, index, *job, after_drop);
            if constexpr (kPixels) {
                // Frames for the sends to come are made here, not on their callers' threads.
                if (auto pool = job->pool.lock()) pool->fill(*job->frame);
            }
        },
        bytes);
    return ERR_OK;
}

}  // namespace

void release_unneeded_codecs(const EngineLock& lock, const InstancePtr& inst, int index) {
    (void)lock;
    if (receivers_of(inst, video_type(index), inst->session.pixel_input).other.empty()) {
        release_codecs(inst->session.video.streams[index]);
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
    end_stream(c.session.video.streams[index]);
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
        end_stream(inst.session.video.streams[i]);
        const StreamType type = video_type(i);
        if (notify_self) {
            inst.post(make_event("OnLocalVideoChannelDestroyed",
                                 [type](Delegate& d) { d.OnLocalVideoChannelDestroyed(type); }));
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
        OSTREL_LOG(kWarning, "SetVideoEncodeParam ignored: stream type %d is not a video stream",
                   static_cast<int>(type));
        return;
    }
    EngineLock lock = Engine::get().lock();
    // A running encoder follows the new parameters from its next frame on.
    inst->video_params[index] = param;
}

int send_video(const InstancePtr& inst, StreamType type, const VideoFrame& frame) {
    return send_frame(inst, type, frame);
}

int send_pixels(const InstancePtr& inst, StreamType type, const PixelFrame& frame) {
    return send_frame(inst, type, frame);
}

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
        // The SDK's own encoder of this stream, if it runs one, follows from the next frame on.
        inst.post(make_event("OnRequestChangeVideoEncodeBitrate",
                             [type, bitrate](Delegate& d) { d.OnRequestChangeVideoEncodeBitrate(type, bitrate); }));
    }
}

}  // namespace ostrel::loopback::engine
