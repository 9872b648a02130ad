#include "engine/audio_send.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/audio_receive.h"
#include "engine/room_events.h"
#include "events/service_thread.h"
#include "media/opus_formats.h"
#include "record_access.h"

namespace ostrel::loopback::engine {

using namespace ostrel::vonu;

namespace {

constexpr size_t kMaxOpusPacket = 4000;  // bytes; Opus packets of 60 ms stay well below

int validate_frame(const InstanceState& inst, const AudioFrame& frame) {
    const SentAudio& out = inst.session.audio_out;
    if (!inst.in_room() || !out.channel) return ERR_INVALID_OPERATION;
    const AudioEncodeParams& p = out.params;
    if (frame.sample_rate != p.sample_rate || frame.channels != p.channels) return ERR_INVALID_PARAMETER;
    const size_t size = frame_payload(frame).size();
    if (frame.codec == AUDIO_CODEC_TYPE_OPUS) {
        // Encoded audio comes only on a channel that does not encode, in a format Opus codes.
        if (p.need_encode || !media::opus_supports_rate(p.sample_rate)) return ERR_INVALID_PARAMETER;
        return size == 0 || size > kMaxOpusPacket ? ERR_INVALID_PARAMETER : ERR_OK;
    }
    if (frame.codec != AUDIO_CODEC_TYPE_PCM || frame.bits_per_sample != 16) return ERR_INVALID_PARAMETER;
    const size_t expected = media::frame_samples(p.sample_rate, p.frame_length_ms) * static_cast<size_t>(p.channels) * 2;
    return size == expected ? ERR_OK : ERR_INVALID_PARAMETER;
}

// A member that heard the sender when a frame was sent, and its stay in the room then.
struct Hearer {
    std::weak_ptr<InstanceState> member;  // the receiver
    uint64_t stay = 0;                    // its stay at the send
};

// The members that hear `sender` now.
std::vector<Hearer> hearers(const InstanceState& sender) {
    std::vector<Hearer> out;
    for (const InstancePtr& m : sender.session.room->members) {
        if (hears(sender, *m)) out.push_back(Hearer{m, m->session.stay});
    }
    return out;
}

// Those of `heard` that still hear `sender`, in the same stay.
std::vector<InstancePtr> still_hearing(const InstanceState& sender, const std::vector<Hearer>& heard) {
    std::vector<InstancePtr> out;
    for (const Hearer& h : heard) {
        InstancePtr m = h.member.lock();
        if (m && m->session.stay == h.stay && m->session.room == sender.session.room && hears(sender, *m))
            out.push_back(std::move(m));
    }
    return out;
}

// Sends one frame to the members `to`: the conversions for each, on the channel's worker.
void send_now(const EngineLock& lock, InstanceState& sender, const std::vector<InstancePtr>& to,
              const AudioFrame& frame) {
    const std::vector<uint8_t>& payload = frame_payload(frame);
    if (frame.codec == AUDIO_CODEC_TYPE_OPUS) {
        deliver_opus(lock, sender, to, payload, frame.pts, frame.has_voice);
        return;
    }
    std::vector<int16_t> samples(payload.size() / 2);
    if (!samples.empty()) std::memcpy(samples.data(), payload.data(), samples.size() * 2);
    const bool voice = sender.vad ? media::detect_voice(samples.data(), samples.size()) : frame.has_voice;
    deliver_audio(lock, sender, to, frame.sample_rate, frame.channels, samples, frame.pts, voice);
}

// Hands one validated frame, with the members that hear it now, to the channel's worker, which
// sends it (send_now) to those that still hear it, unless the channel ended meanwhile.
void queue_frame(const InstancePtr& inst, AudioFrame frame) {
    SentAudio& out = inst->session.audio_out;
    if (!out.worker) out.worker = events::SendWorker::start("audio sending", inst->id);
    const size_t bytes = frame_payload(frame).size();
    out.worker.post(
        [weak = std::weak_ptr<InstanceState>(inst), heard = std::make_shared<const std::vector<Hearer>>(hearers(*inst)),
         frame = std::make_shared<const AudioFrame>(std::move(frame))](bool) {
            EngineLock lock = Engine::get().lock();
            InstancePtr sender = weak.lock();
            if (!sender || !sender->in_room() || !sender->session.audio_out.worker.on_own_thread()) return;
            send_now(lock, *sender, still_hearing(*sender, *heard), *frame);
        },
        bytes);
}

void pace(const std::weak_ptr<InstanceState>& weak, uint64_t ticket, Clock::time_point due) {
    EngineLock lock = Engine::get().lock();
    InstancePtr inst = weak.lock();
    if (!inst || inst->destroyed || !inst->pacer.live(ticket)) return;
    SentAudio& out = inst->session.audio_out;
    if (out.paced.empty() || !inst->in_room() || !out.channel) {
        inst->pacer.disarm();
        return;
    }
    AudioFrame frame = std::move(out.paced.front());
    out.paced.pop_front();
    if (!inst->session.disconnected) queue_frame(inst, std::move(frame));
    Clock::time_point next = due + std::chrono::milliseconds(out.params.frame_length_ms);
    const Clock::time_point now = events::Service::get().now();
    if (next + std::chrono::seconds(1) < now) next = now;  // far behind (a stalled process): restart the clock
    events::Service::get().post_at(next, [weak, ticket, next] { pace(weak, ticket, next); });
}

}  // namespace

int create_audio_channel(const InstancePtr& inst, const AudioEncodeParams& params) {
    EngineLock lock = Engine::get().lock();
    InstanceState& c = *inst;
    SentAudio& out = c.session.audio_out;
    if (!c.in_room() || !c.anchor() || out.channel) return ERR_INVALID_OPERATION;
    if (!media::valid_sample_rate(params.sample_rate) || !media::valid_channels(params.channels) ||
        !media::valid_frame_length_ms(params.frame_length_ms) || params.bitrate_bps < 0)
        return ERR_INVALID_PARAMETER;
    out.channel = true;
    out.params = params;
    c.post(make_event("OnLocalAudioChannelCreated", [](Delegate& d) { d.OnLocalAudioChannelCreated(); }));
    const std::string id = c.session.user_id;
    for (const InstancePtr& m : c.session.room->members) {
        if (m != inst) m->post(audio_available(id, true));
    }
    return ERR_OK;
}

void end_audio_channel(const EngineLock& lock, InstanceState& inst, bool notify_self) {
    SentAudio& out = inst.session.audio_out;
    if (!out.channel) return;
    out = SentAudio{};
    inst.pacer.cancel();
    if (notify_self) {
        inst.post(make_event("OnLocalAudioChannelDestroyed", [](Delegate& d) { d.OnLocalAudioChannelDestroyed(); }));
    }
    const std::string id = inst.session.user_id;
    for (const InstancePtr& m : inst.session.room->members) {
        if (m.get() == &inst) continue;
        m->post(audio_available(id, false));
        forget_sender(lock, *m, id);
    }
}

int destroy_audio_channel(const InstancePtr& inst) {
    EngineLock lock = Engine::get().lock();
    if (!inst->in_room() || !inst->session.audio_out.channel) return ERR_INVALID_OPERATION;
    end_audio_channel(lock, *inst, true);
    return ERR_OK;
}

int send_audio(const InstancePtr& inst, const AudioFrame& frame) {
    EngineLock lock = Engine::get().lock();
    const int check = validate_frame(*inst, frame);
    if (check != ERR_OK) return check;
    if (inst->session.disconnected) return ERR_NETWORK_UNREACHABLE;
    queue_frame(inst, frame);
    return ERR_OK;
}

int send_continuous_audio(const InstancePtr& inst, const AudioFrame& frame, bool clear) {
    EngineLock lock = Engine::get().lock();
    const int check = validate_frame(*inst, frame);
    if (check != ERR_OK) return check;
    SentAudio& out = inst->session.audio_out;
    if (clear) out.paced.clear();
    if (out.paced.size() >= kMaxContinuousAudioFrames) return ERR_READ_TRY_AGAIN;
    out.paced.push_back(frame);
    if (!inst->pacer.armed()) {
        const uint64_t ticket = inst->pacer.arm();
        const Clock::time_point now = events::Service::get().now();
        std::weak_ptr<InstanceState> weak = inst;
        events::Service::get().post_at(now, [weak, ticket, now] { pace(weak, ticket, now); });
    }
    return ERR_OK;
}

void enable_vad(const InstancePtr& inst, bool enable) {
    EngineLock lock = Engine::get().lock();
    inst->vad = enable;
}

}  // namespace ostrel::loopback::engine
