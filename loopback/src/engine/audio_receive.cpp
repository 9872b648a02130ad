#include "engine/audio_receive.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "engine/media_faults.h"
#include "engine/room_events.h"
#include "engine/undecodable.h"
#include "events/sdk_counters.h"
#include "media/opus_formats.h"
#include "record_access.h"

namespace ostrel::loopback::engine {

using namespace ostrel::vonu;
using media::PcmFrame;

namespace {

constexpr const char kMix[] = "";  // the key of the mixed stream's encoder (user ids are never empty)

bool wants_opus(const AudioObtainParams& obtain) { return obtain.output_audio_codec_type == AUDIO_CODEC_TYPE_OPUS; }

void fill_audio_frame(AudioFrame& frame, const ReadyAudio& ready, const AudioObtainParams& obtain) {
    frame.sample_rate = obtain.output_sample_rate;
    frame.channels = obtain.output_channels;
    frame.bits_per_sample = 16;
    frame.codec = ready.codec;
    frame.pts = ready.pts;
    frame.has_voice = ready.has_voice;
    set_payload(frame, ready.payload.data(), ready.payload.size());
}

// Gives one finished frame to the receiver: by callback, or into its GetAudioFrame queue.
// `sender` is null for a mixed frame.
void post_or_queue(InstanceState& r, ReadyAudio ready, const std::string* sender) {
    const AudioObtainParams& obtain = r.session.obtain;
    if (obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_GET) {
        auto& queue = r.session.audio_in.get_queue;
        queue.push_back(std::move(ready));
        if (queue.size() > kMaxGetAudioFrames) {
            queue.pop_front();
            events::note_dropped(1);
        }
        return;
    }
    auto out = std::make_shared<AudioFrame>();
    fill_audio_frame(*out, ready, obtain);
    const size_t bytes = ready.payload.size();
    if (sender != nullptr) {
        r.post(make_media_event("OnRemoteAudioReceived", bytes,
                                [id = *sender, out](Delegate& d) { d.OnRemoteAudioReceived(id.c_str(), *out); }));
    } else {
        r.post(make_media_event("OnRemoteMixedAudioReceived", bytes,
                                [out](Delegate& d) { d.OnRemoteMixedAudioReceived(*out); }));
    }
}

// post_or_queue, now, later or never, as the receiver's media faults decide.
void deliver_through_faults(InstanceState& r, ReadyAudio ready, const std::string* sender) {
    if (r.session.faults.none()) {
        post_or_queue(r, std::move(ready), sender);
        return;
    }
    std::optional<std::string> from;
    if (sender != nullptr) from = *sender;
    deliver_media(r, MediaKind::audio, [ready = std::move(ready), from = std::move(from)](InstanceState& to) mutable {
        post_or_queue(to, std::move(ready), from ? &*from : nullptr);
    });
}

// Delivers a converted PCM frame to the receiver, encoded first when it wants Opus (at `bitrate_bps`,
// the sender's channel bitrate, or the encoder's default when that is 0).
void deliver_pcm(InstanceState& r, PcmFrame frame, const std::string* sender, int bitrate_bps) {
    ReadyAudio ready;
    ready.pts = frame.pts;
    ready.has_voice = frame.has_voice;
    const AudioObtainParams& obtain = r.session.obtain;
    if (!wants_opus(obtain)) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(frame.samples.data());
        ready.payload.assign(bytes, bytes + frame.samples.size() * 2);
        deliver_through_faults(r, std::move(ready), sender);
        return;
    }
    const int bitrate = bitrate_bps > 0 ? std::clamp(bitrate_bps, 500, 512000) : media::OpusEncoder::kDefaultBitrate;
    auto& encoders = r.session.audio_in.encoders;
    auto it = encoders
                  .try_emplace(sender ? *sender : std::string(kMix), obtain.output_sample_rate, obtain.output_channels,
                               obtain.output_frame_length_ms, bitrate)
                  .first;
    ready.codec = AUDIO_CODEC_TYPE_OPUS;
    if (!it->second.codec.encode(frame.samples.data(), ready.payload)) return;
    deliver_through_faults(r, std::move(ready), sender);
}

// Mixes and delivers every frame the mixer can complete: when every sender has one, when one
// sender is kMixFlushDepth ahead, or (with `force`) whatever is there.
void flush_mix(InstanceState& r, bool force) {
    auto& mix = r.session.audio_in.mix;
    // Every sender this member hears has a slot, so that the mixer waits for all of them.
    if (r.session.room) {
        for (const InstancePtr& m : r.session.room->members) {
            if (m.get() != &r && m->session.audio_out.channel &&
                !r.session.audio_in.unsubscribed.count(m->session.user_id))
                mix[m->session.user_id];
        }
    }
    for (;;) {
        bool all = !mix.empty();
        bool deep = false;
        bool any = false;
        for (const auto& [id, slot] : mix) {
            (void)id;
            if (slot.frames.empty()) all = false;
            if (!slot.frames.empty()) any = true;
            if (slot.frames.size() >= static_cast<size_t>(kMixFlushDepth)) deep = true;
        }
        if (!(all || deep || (force && any))) return;
        std::vector<int32_t> sum;
        PcmFrame mixed;
        bool first = true;
        for (auto& [id, slot] : mix) {
            (void)id;
            if (slot.frames.empty()) continue;
            PcmFrame& f = slot.frames.front();
            media::mix_into(sum, f.samples);
            if (first) mixed.pts = f.pts;
            first = false;
            mixed.has_voice = mixed.has_voice || f.has_voice;
            slot.frames.pop_front();
        }
        mixed.samples = media::saturate(sum);
        deliver_pcm(r, std::move(mixed), nullptr, 0);
    }
}

}  // namespace

int validate_obtain(const AudioObtainParams& obtain) {
    if (obtain.audio_obtain_method != AUDIO_OBTAIN_METHOD_GET &&
        obtain.audio_obtain_method != AUDIO_OBTAIN_METHOD_CALLBACK)
        return ERR_INVALID_PARAMETER;
    if (!media::valid_sample_rate(obtain.output_sample_rate) || !media::valid_channels(obtain.output_channels) ||
        !media::valid_frame_length_ms(obtain.output_frame_length_ms))
        return ERR_INVALID_PARAMETER;
    // Opus codes 8, 16, 24 and 48 kHz of the accepted rates; AAC is not coded at all.
    if (obtain.output_audio_codec_type == AUDIO_CODEC_TYPE_OPUS) {
        return media::opus_supports_rate(obtain.output_sample_rate) ? ERR_OK : ERR_NOT_SUPPORTED;
    }
    if (obtain.output_audio_codec_type != AUDIO_CODEC_TYPE_PCM) return ERR_NOT_SUPPORTED;
    return ERR_OK;
}

namespace {

// One PCM frame of `sender` to one receiver `m` that hears it.
void receive_pcm(const InstanceState& sender, InstanceState& m, int rate, int channels,
                 const std::vector<int16_t>& samples, uint32_t pts, bool voice) {
    Session& s = m.session;
    const std::string& id = sender.session.user_id;
    auto& streams = s.audio_in.streams;
    auto it = streams.find(id);
    if (it == streams.end() || !it->second.matches(rate, channels)) {
        it = streams
                 .insert_or_assign(id, media::PcmStream(rate, channels, s.obtain.output_sample_rate,
                                                        s.obtain.output_channels, s.obtain.output_frame_length_ms))
                 .first;
    }
    std::vector<PcmFrame> out;
    it->second.push(samples.data(), samples.size() / static_cast<size_t>(channels), pts, voice, out);
    for (PcmFrame& f : out) {
        if (s.obtain.enable_remote_audio_mix) {
            s.audio_in.mix[id].frames.push_back(std::move(f));
            flush_mix(m, false);
        } else {
            deliver_pcm(m, std::move(f), &id, sender.session.audio_out.params.bitrate_bps);
        }
    }
}

}  // namespace

bool hears(const InstanceState& sender, const InstanceState& m) {
    return &m != &sender && !m.session.disconnected && !m.session.audio_in.unsubscribed.count(sender.session.user_id);
}

bool receives_as_sent(const InstanceState& sender, const InstanceState& m, AudioCodecType codec) {
    const AudioObtainParams& obtain = m.session.obtain;
    const AudioEncodeParams& p = sender.session.audio_out.params;
    if (obtain.enable_remote_audio_mix || obtain.output_sample_rate != p.sample_rate ||
        obtain.output_channels != p.channels || obtain.output_frame_length_ms != p.frame_length_ms)
        return false;
    return wants_opus(obtain) == (codec == AUDIO_CODEC_TYPE_OPUS);
}

void deliver_as_sent(const EngineLock& lock, InstanceState& sender, const std::vector<InstancePtr>& to,
                     const std::vector<uint8_t>& payload, AudioCodecType codec, uint32_t pts, bool voice) {
    (void)lock;
    for (const InstancePtr& m : to)
        deliver_through_faults(*m, ReadyAudio{payload, codec, pts, voice}, &sender.session.user_id);
}

void deliver_audio(const EngineLock& lock, InstanceState& sender, const std::vector<InstancePtr>& to, int rate,
                   int channels, const std::vector<int16_t>& samples, uint32_t pts, bool voice) {
    (void)lock;
    for (const InstancePtr& m : to) receive_pcm(sender, *m, rate, channels, samples, pts, voice);
}

void deliver_opus(const EngineLock& lock, InstanceState& sender, const std::vector<InstancePtr>& to,
                  const std::vector<uint8_t>& packet, uint32_t pts, bool voice) {
    if (to.empty()) return;
    SentAudio& out = sender.session.audio_out;
    const AudioEncodeParams& p = out.params;
    if (!out.decoder) out.decoder = std::make_unique<LiveOpusDecoder>(p.sample_rate, p.channels);
    std::vector<int16_t> pcm;
    if (out.decoder->codec.decode(packet.data(), packet.size(), pcm) < 0) {
        note_undecodable(lock, sender, "Opus");
        return;
    }
    for (const InstancePtr& m : to) receive_pcm(sender, *m, p.sample_rate, p.channels, pcm, pts, voice);
}

void forget_sender(const EngineLock& lock, InstanceState& r, const std::string& sender) {
    (void)lock;
    ReceivedAudio& in = r.session.audio_in;
    in.streams.erase(sender);
    in.encoders.erase(sender);
    auto it = in.mix.find(sender);
    if (it == in.mix.end()) return;
    // What this sender still had in the mixer goes out with the others, then it stops counting.
    while (!it->second.frames.empty()) {
        flush_mix(r, true);
    }
    in.mix.erase(it);
    flush_mix(r, false);
}

int get_audio_frame(const InstancePtr& inst, AudioFrame* frame) {
    if (frame == nullptr) return ERR_INVALID_PARAMETER;
    ReadyAudio ready;
    AudioObtainParams obtain;
    {
        EngineLock lock = Engine::get().lock();
        auto& queue = inst->session.audio_in.get_queue;
        if (queue.empty()) return ERR_READ_TRY_AGAIN;
        ready = std::move(queue.front());
        queue.pop_front();
        obtain = inst->session.obtain;
    }
    fill_audio_frame(*frame, ready, obtain);
    return ERR_OK;
}

}  // namespace ostrel::loopback::engine
