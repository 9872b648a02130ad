// The local audio channel: creating and destroying it, validating frames, sending them at
// once or paced on the service thread at the channel's frame rate, and voice detection.
#ifndef OSTREL_LOOPBACK_ENGINE_AUDIO_SEND_H_
#define OSTREL_LOOPBACK_ENGINE_AUDIO_SEND_H_

#include <cstddef>

#include "engine/engine.h"

namespace ostrel::loopback::engine {

constexpr size_t kMaxContinuousAudioFrames = 3000;  // SendContinuousAudioFrame queue per instance

// Results as the VONUCloud operations return them.
int create_audio_channel(const InstancePtr& inst, const vonu::AudioEncodeParams& params);
int destroy_audio_channel(const InstancePtr& inst);
int send_audio(const InstancePtr& inst, const vonu::AudioFrame& frame);
int send_continuous_audio(const InstancePtr& inst, const vonu::AudioFrame& frame, bool clear);
void enable_vad(const InstancePtr& inst, bool enable);

// Ends the member's audio channel, if it has one; `notify_self` tells the member too.
void end_audio_channel(const EngineLock& lock, InstanceState& inst, bool notify_self);

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_AUDIO_SEND_H_
