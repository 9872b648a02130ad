// The three local video streams of an instance, by index, and the bitrates they default to.
#ifndef OSTREL_LOOPBACK_ENGINE_STREAMS_H_
#define OSTREL_LOOPBACK_ENGINE_STREAMS_H_

#include "vonu/ostrel_vonu_defines.h"

namespace ostrel::loopback::engine {

constexpr int kVideoStreams = 3;

// Index of a video stream type: 0 high, 1 low, 2 aux; -1 for anything else.
inline int video_index(vonu::StreamType type) {
    switch (type) {
        case vonu::STREAM_TYPE_VIDEO_HIGH:
            return 0;
        case vonu::STREAM_TYPE_VIDEO_LOW:
            return 1;
        case vonu::STREAM_TYPE_VIDEO_AUX:
            return 2;
        default:
            return -1;
    }
}

inline vonu::StreamType video_type(int index) {
    constexpr vonu::StreamType kTypes[kVideoStreams] = {vonu::STREAM_TYPE_VIDEO_HIGH, vonu::STREAM_TYPE_VIDEO_LOW,
                                                        vonu::STREAM_TYPE_VIDEO_AUX};
    return kTypes[index];
}

// Bitrate a stream is asked for when its encode parameters name none.
inline int default_bitrate(int index) {
    constexpr int kDefaults[kVideoStreams] = {1200000, 300000, 800000};
    return kDefaults[index];
}

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_STREAMS_H_
