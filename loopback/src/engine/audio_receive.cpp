#include "engine/audio_receive.h"

#include <memory>
#include <utility>

#include "engine/room_events.h"
#include "events/sdk_counters.h"
#include "record_access.h"

namespace ostrel::loopback::engine {

using namespace ostrel::vonu;
using media::PcmFrame;

namespace {

void fill_audio_frame(AudioFrame& frame, const PcmFrame& pcm, const AudioObtainParams& obtain) {
    frame.sample_rate = obtain.output_sample_rate;
    frame.channels = obtain.output_channels;
    frame.bits_per_sample = 16;
    frame.codec = AUDIO_CODEC_TYPE_PCM;
    frame.pts = pcm.pts;
    frame.has_voice = pcm.has_voice;
    set_payload(frame, reinterpret_cast<const uint8_t*>(pcm.samples.data()), pcm.samples.size() * 2);
}

// Gives one finished frame to the receiver: by callback, or into its GetAudioFrame queue.
// `sender` is null for a mixed frame.
void hand_over(InstanceState& r, PcmFrame frame, const std::string* sender) {
    const AudioObtainParams& obtain = r.session.obtain;
    if (obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_GET) {
        auto& queue = r.session.audio_in.get_queue;
        queue.push_back(std::move(frame));
        if (queue.size() > kMaxGetAudioFrames) {
            queue.pop_front();
            events::note_dropped(1);
        }
        return;
    }
    auto out = std::make_shared<AudioFrame>();
    fill_audio_frame(*out, frame, obtain);
    const size_t bytes = frame.samples.size() * 2;
    if (sender != nullptr) {
        r.post(make_media_event("OnRemoteAudioReceived", bytes,
                                [id = *sender, out](Delegate& d) { d.OnRemoteAudioReceived(id.c_str(), *out); }));
    } else {
        r.post(make_media_event("OnRemoteMixedAudioReceived", bytes,
                                [out](Delegate& d) { d.OnRemoteMixedAudioReceived(*out); }));
    }
}

// Mixes and hands over every frame the mixer can complete: when every sender has one, when one
// sender is kMixFlushDepth ahead, or (with `force`) whatever is there.
void flush_mix(InstanceState& r, bool force) {
    auto& mix = r.session.audio_in.mix;
    // Every sender this member hears has a slot, so that the mixer waits for all of them.
    if (r.session.room) {
        for (const InstancePtr& m : r.session.room->members) {
            if (m.get() != &r && m->session.audio_out.channel && !r.session.audio_in.unsubscribed.count(m->session.user_id))
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
        hand_over(r, std::move(mixed), nullptr);
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
    if (obtain.output_audio_codec_type != AUDIO_CODEC_TYPE_PCM) return ERR_NOT_SUPPORTED;
    return ERR_OK;
}

void deliver_audio(const EngineLock& lock, InstanceState& sender, int rate, int channels,
                   const std::vector<int16_t>& samples, uint32_t pts, bool voice) {
    (void)lock;
    const std::string& id = sender.session.user_id;
    const size_t count = samples.size() / static_cast<size_t>(channels);
    for (const InstancePtr& m : sender.session.room->members) {
        Session& s = m->session;
        if (m.get() == &sender || s.disconnected || s.audio_in.unsubscribed.count(id)) continue;
        auto& streams = s.audio_in.streams;
        auto it = streams.find(id);
        if (it == streams.end() || !it->second.matches(rate, channels)) {
            it = streams
                     .insert_or_assign(id, media::PcmStream(rate, channels, s.obtain.output_sample_rate,
                                                            s.obtain.output_channels, s.obtain.output_frame_length_ms))
                     .first;
        }
        std::vector<PcmFrame> out;
        it->second.push(samples.data(), count, pts, voice, out);
        for (PcmFrame& f : out) {
            if (s.obtain.enable_remote_audio_mix) {
                s.audio_in.mix[id].frames.push_back(std::move(f));
                flush_mix(*m, false);
            } else {
                hand_over(*m, std::move(f), &id);
            }
        }
    }
}

void forget_sender(const EngineLock& lock, InstanceState& r, const std::string& sender) {
    (void)lock;
    ReceivedAudio& in = r.session.audio_in;
    in.streams.erase(sender);
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
    PcmFrame pcm;
    AudioObtainParams obtain;
    {
        EngineLock lock = Engine::get().lock();
        auto& queue = inst->session.audio_in.get_queue;
        if (queue.empty()) return ERR_READ_TRY_AGAIN;
        pcm = std::move(queue.front());
        queue.pop_front();
        obtain = inst->session.obtain;
    }
    fill_audio_frame(*frame, pcm, obtain);
    return ERR_OK;
}

}  // namespace ostrel::loopback::engine
