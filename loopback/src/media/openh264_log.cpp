#include "media/openh264_log.h"

#include <wels/codec_app_def.h>

#include <cstring>

#include "logger.h"

namespace ostrel {
namespace loopback {
namespace media {

void openh264_log(void* context, int level, const char* message) {
    const char* codec = context ? static_cast<const char*>(context) : "OpenH264";
    // The library's warnings are notes on its own choices (one comes with every encoder set up
    // without frame skipping); they are for debugging, while errors are the SDK's errors.
    const log::Level ours = level <= WELS_LOG_ERROR ? log::kError : log::kDebug;
    if (!log::enabled(ours) || message == nullptr) return;
    // The library ends its lines with a newline of its own; the logger adds one.
    size_t n = std::strlen(message);
    while (n > 0 && (message[n - 1] == '\n' || message[n - 1] == '\r')) --n;
    log::writef(ours, "%s: %.*s", codec, static_cast<int>(n), message);
}

int openh264_log_level() { return WELS_LOG_WARNING; }

}  // namespace media
}  // namespace loopback
}  // namespace ostrel
