// The arguments of SDK calls as the call recorder keeps them: one dict per record.
#ifndef OSTREL_LOOPBACK_ENGINE_RECORDED_ARGS_H_
#define OSTREL_LOOPBACK_ENGINE_RECORDED_ARGS_H_

#include "call_recorder.h"
#include "vonu/ostrel_vonu_cloud.h"

namespace ostrel::loopback::engine {

// A pointer as its address, None when null.
call_recorder::Dict& pointer(call_recorder::Dict& d, const char* key, const void* p);
call_recorder::Dict enter_dict(const vonu::EnterRoomParams& p);
call_recorder::Dict audio_frame_dict(const vonu::AudioFrame& f);
call_recorder::Dict video_frame_dict(const vonu::VideoFrame& f);
call_recorder::Dict pixel_frame_dict(const vonu::PixelFrame& f);
call_recorder::Dict audio_encode_dict(const vonu::AudioEncodeParams& p);
call_recorder::Dict video_encode_dict(const vonu::VideoEncodeParams& p);

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_RECORDED_ARGS_H_
