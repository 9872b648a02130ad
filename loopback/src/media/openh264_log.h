// OpenH264's own messages go to the SDK's log instead of standard error: the encoder and the
// decoder both hand this callback to the library, which calls it on the thread that is
// encoding or decoding. Library errors are logged as errors, its warnings at debug level.
#ifndef OSTREL_LOOPBACK_MEDIA_OPENH264_LOG_H_
#define OSTREL_LOOPBACK_MEDIA_OPENH264_LOG_H_

namespace ostrel {
namespace loopback {
namespace media {

// Matches OpenH264's WelsTraceCallback; `context` is the name of the codec ("H264Encoder").
void openh264_log(void* context, int level, const char* message);

// The library's level (WELS_LOG_WARNING) up to which messages are passed on.
int openh264_log_level();

}  // namespace media
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_MEDIA_OPENH264_LOG_H_
