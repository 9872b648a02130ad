// Read access to record internals for SDK code, without going through the recorded members.
#ifndef OSTREL_LOOPBACK_RECORD_ACCESS_H_
#define OSTREL_LOOPBACK_RECORD_ACCESS_H_

#include <cstdint>
#include <vector>

#include "call_recorder.h"
#include "vonu/ostrel_vonu_defines.h"

namespace ostrel {
namespace loopback {

// What a frame's (and a VonuBuffer's) `handle_` points at.
struct FrameStorage {
    std::vector<uint8_t> payload;
    std::vector<uint8_t> extra;
};

template <typename Frame>
const FrameStorage& frame_storage(const Frame& frame) {
    return *static_cast<const FrameStorage*>(frame.handle());
}

template <typename Frame>
const std::vector<uint8_t>& frame_payload(const Frame& frame) {
    return frame_storage(frame).payload;
}

inline const std::vector<uint8_t>& frame_extra(const vonu::AudioFrame& frame) { return frame_storage(frame).extra; }

// The text of a VonuString (null when it holds none), not recorded.
inline const char* text_of(const vonu::VonuString& s) {
    call_recorder::Mute mute;
    return s.GetValue();
}

// Sets a frame's payload from SDK code, not recorded.
template <typename Frame>
void set_payload(Frame& frame, const uint8_t* data, size_t size) {
    call_recorder::Mute mute;
    frame.SetData(data, size);
}

}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_RECORD_ACCESS_H_
