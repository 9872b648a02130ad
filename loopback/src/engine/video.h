// Local video: the three stream channels, their encode parameters, sending encoded and pixel
// frames (one path for both forms), SEI messages that travel with the next frame, and the
// key-frame and bitrate requests senders receive.
//
// Where sender and receiver disagree on the form, the stream is converted: pixel frames are
// encoded as H.264 (one encoder per sent stream, following SetVideoEncodeParam and the bitrate
// a network quality allows), H.264 frames are decoded into I420 pixel frames (one decoder per
// sent stream). A conversion exists only while some receiver needs it. H.265 is not decoded.
// A send hands the frame at once to the receivers that take it as sent; conversions run on the
// stream's send worker (events/send_worker.h), outside the engine lock.
#ifndef OSTREL_LOOPBACK_ENGINE_VIDEO_H_
#define OSTREL_LOOPBACK_ENGINE_VIDEO_H_

#include <cstddef>
#include <cstdint>

#include "engine/engine.h"

namespace ostrel::loopback::engine {

constexpr size_t kMaxPendingSei = 64;  // SEI messages waiting for a video frame
constexpr int kMinSeiType = 100;
constexpr int kMaxSeiType = 254;
constexpr int kSeiTypeUserData = 5;
constexpr size_t kMaxSeiBytes = 1000;
constexpr uint32_t kMaxPixelDimension = 16384;

// Results as the VONUCloud operations return them.
int create_video_channel(const InstancePtr& inst, vonu::StreamType type);
int destroy_video_channel(const InstancePtr& inst, vonu::StreamType type);
void set_video_encode_param(const InstancePtr& inst, vonu::StreamType type, const vonu::VideoEncodeParams& param);
int send_video(const InstancePtr& inst, vonu::StreamType type, const vonu::VideoFrame& frame);
int send_pixels(const InstancePtr& inst, vonu::StreamType type, const vonu::PixelFrame& frame);
int send_sei(const InstancePtr& inst, int message_type, const char* message, size_t length);

// Ends every video channel of the member; `notify_self` tells the member too.
void end_video_channels(const EngineLock& lock, InstanceState& inst, bool notify_self);
// Releases the conversions of the member's stream `index` that no receiver needs any more.
void release_unneeded_codecs(const EngineLock& lock, const InstancePtr& inst, int index);
// Asks the member for the bitrate its network quality allows, on every stream it sends.
void request_bitrate(const EngineLock& lock, InstanceState& inst);

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_VIDEO_H_
