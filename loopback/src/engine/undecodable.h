// Sent media that the SDK could not decode for the receivers that needed it decoded: an Opus
// packet libopus refuses, an H.264 access unit OpenH264 refuses (a broken unit, or one that
// needs a picture the decoder never had, such as a P-frame before the stream's first IDR).
//
// Design: such a frame reaches none of those receivers; it is counted process-wide
// (events::total_undecodable, ostrel_loopback.undecodable()) and logged as a warning at most
// once a second per sender, with the number of frames since the last warning, so a sender of
// garbage cannot flood the log. The caller holds the engine lock, which guards the sender's
// record of the last warning.
#ifndef OSTREL_LOOPBACK_ENGINE_UNDECODABLE_H_
#define OSTREL_LOOPBACK_ENGINE_UNDECODABLE_H_

#include "engine/engine.h"
#include "engine/instance_state.h"

namespace ostrel::loopback::engine {

// Counts one frame of `sender` that could not be decoded; `what` names the codec ("Opus").
void note_undecodable(const EngineLock& lock, InstanceState& sender, const char* what);

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_UNDECODABLE_H_
