// Audio as the other members receive it: each sender's frames converted to the receiver's
// output format (media::PcmStream), mixed when the receiver asked for one mixed stream,
// encoded as Opus for a receiver that wants Opus, and handed over by callback or queued for
// GetAudioFrame.
//
// Sent Opus reaches an Opus receiver of the same format (rate, channels, frame length, not
// mixed) as it was sent; every other receiver gets it decoded (one decoder per sender) and
// then converted like PCM. Nothing is encoded for receivers of PCM.
#ifndef OSTREL_LOOPBACK_ENGINE_AUDIO_RECEIVE_H_
#define OSTREL_LOOPBACK_ENGINE_AUDIO_RECEIVE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace ostrel::loopback::engine {

constexpr size_t kMaxGetAudioFrames = 100;  // frames waiting for GetAudioFrame per instance
constexpr int kMixFlushDepth = 3;           // a mixer stops waiting for a silent sender at this depth

// ERR_OK when EnterRoom's audio obtain parameters are usable, else the error EnterRoom returns.
int validate_obtain(const vonu::AudioObtainParams& obtain);

// True when member `m` hears `sender` now.
bool hears(const InstanceState& sender, const InstanceState& m);
// True when member `m` takes `sender`'s frames in `codec` as they were sent: in the channel's
// rate, channels and frame length, not mixed, in that codec. Nothing is converted for it.
bool receives_as_sent(const InstanceState& sender, const InstanceState& m, vonu::AudioCodecType codec);
// Hands one frame of `sender` as sent (16-bit PCM or one Opus packet) to the members `to`.
void deliver_as_sent(const EngineLock& lock, InstanceState& sender, const std::vector<InstancePtr>& to,
                     const std::vector<uint8_t>& payload, vonu::AudioCodecType codec, uint32_t pts, bool voice);
// Delivers one frame of `sender`'s 16-bit PCM (interleaved samples) to the members `to`,
// converted for each.
void deliver_audio(const EngineLock& lock, InstanceState& sender, const std::vector<InstancePtr>& to, int rate,
                   int channels, const std::vector<int16_t>& samples, uint32_t pts, bool voice);
// Delivers one Opus packet of `sender` (in its channel's format) to the members `to`, decoded and
// converted for each.
void deliver_opus(const EngineLock& lock, InstanceState& sender, const std::vector<InstancePtr>& to,
                  const std::vector<uint8_t>& packet, uint32_t pts, bool voice);
// The receiver stops hearing `sender`: what the mixer still holds of it goes out first.
void forget_sender(const EngineLock& lock, InstanceState& receiver, const std::string& sender);

// GetAudioFrame.
int get_audio_frame(const InstancePtr& inst, vonu::AudioFrame* frame);

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_AUDIO_RECEIVE_H_
