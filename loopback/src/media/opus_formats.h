// The PCM formats the Opus wrappers take: Opus codes 8, 12, 16, 24 and 48 kHz, mono or stereo,
// and of the frame lengths the SDK accepts (10, 20, 40, 60 ms) it codes every one. Other rates
// (32000, 44100) are for the caller to resample, to 48 kHz say, before encoding.
#ifndef OSTREL_LOOPBACK_MEDIA_OPUS_FORMATS_H_
#define OSTREL_LOOPBACK_MEDIA_OPUS_FORMATS_H_

namespace ostrel {
namespace loopback {
namespace media {

inline bool opus_supports_rate(int rate) {
    return rate == 8000 || rate == 12000 || rate == 16000 || rate == 24000 || rate == 48000;
}

inline bool opus_supports_channels(int channels) { return channels == 1 || channels == 2; }

inline bool opus_supports_frame_ms(int ms) { return ms == 10 || ms == 20 || ms == 40 || ms == 60; }

}  // namespace media
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_MEDIA_OPUS_FORMATS_H_
