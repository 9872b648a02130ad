#include "engine/audio_send.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/addressees.h"
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
    const size_t expected =
        media::frame_samples(p.sample_rate, p.frame_length_ms) * static_cast<size_t>(p.channels) * 2;
    return size == expected ? ERR_OK : ERR_INVALID_PARAMETER;
}

// Sends one validated frame: as sent, at once, to the members that take it in its form; to the
// others through the channel's worker, which converts it for those that still hear the sender.
void send_now(const EngineLock& lock, const InstancePtr& inst, AudioFrame frame) {
    const std::vector<uint8_t>& payload = frame_payload(frame);
    std::vector<int16_t> samples;
    if (frame.codec == AUDIO_CODEC_TYPE_PCM) {
        samples.resize(payload.size() / 2);
        if (!samples.empty()) std::memcpy(samples.data(), payload.data(), samples.size() * 2);
        if (inst->vad) frame.has_voice = media::detect_voice(samples.data(), samples.size());
    }
    std::vector<InstancePtr> as_sent;
    std::vector<InstancePtr> converted;
    for (const InstancePtr& m : inst->session.room->members) {
        if (hears(*inst, *m)) (receives_as_sent(*inst, *m, frame.codec) ? as_sent : converted).push_back(m);
    }
    deliver_as_sent(lock, *inst, as_sent, payload, frame.codec, frame.pts, frame.has_voice);
    if (converted.empty()) return;
    SentAudio& out = inst->session.audio_out;
    if (!out.worker) out.worker = events::SendWorker::start("audio conversion", inst->id);
    const size_t bytes = payload.size();
    out.worker.post(
        [weak = std::weak_ptr<InstanceState>(inst), to = addressees(converted),
         frame = std::make_shared<const AudioFrame>(std::move(frame)), samples = std::move(samples)](bool) {
            EngineLock lock = Engine::get().lock();
            InstancePtr sender = weak.lock();
            if (!sender || !sender->in_room() || !sender->session.audio_out.worker.on_own_thread()) return;
            const std::vector<InstancePtr> still =
                still_addressed(lock, *sender, to, [&sender](const InstanceState& m) { return hears(*sender, m); });
            if (frame->codec == AUDIO_CODEC_TYPE_OPUS) {
                deliver_opus(lock, *sender, still, frame_payload(*frame), frame->pts, frame->has_voice);
            } else {
                deliver_audio(lock, *sender, still, frame->sample_rate, frame->channels, samples, frame->pts,
                              frame->has_voice);
            }
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
    if (!inst->session.disconnected) send_now(lock, inst, std::move(frame));
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
    send_now(lock, inst, frame);
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
