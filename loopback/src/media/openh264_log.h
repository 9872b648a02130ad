// OpenH264's own messages go to the SDK's log instead of standard error: the encoder and the
// decoder both hand this callback to the library, which calls it on the thread that is
// encoding or decoding. Library errors are logged as errors, its warnings at debug level.
#ifndef OSTREL_LOOPBACK_MEDIA_OPENH264_LOG_H_
#define OSTREL_LOOPBACK_MEDIA_OPENH264_LOG_H_

#include <wels/codec_api.h>

namespace ostrel {
namespace loopback {
namespace media {

// Matches OpenH264's WelsTraceCallback; `context` is the name of the codec ("H264Encoder").
void openh264_log(void* context, int level, const char* message);

// The library's level (WELS_LOG_WARNING) up to which messages are passed on.
int openh264_log_level();

// Hands openh264_log to `codec` (an ISVCEncoder or ISVCDecoder) with `name` as its context.
// The two interfaces name the same three options differently, so the caller passes its own.
template <class Codec, class Option>
void route_openh264_log(Codec& codec, Option callback, Option context, Option level, char* name) {
    WelsTraceCallback log = &openh264_log;
    codec.SetOption(callback, &log);
    void* log_context = name;  // the library takes the address of the context pointer
    codec.SetOption(context, &log_context);
    int up_to = openh264_log_level();
    codec.SetOption(level, &up_to);
}

}  // namespace media
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_MEDIA_OPENH264_LOG_H_
