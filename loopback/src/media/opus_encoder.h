// Opus encoding of 16-bit interleaved PCM, one frame per packet.
//
// Design: RAII over one libopus encoder in its general audio mode (the loopback carries
// whatever test content a program sends, which the speech mode's high-pass and tuning would
// colour). Every call encodes exactly one frame of the length fixed at construction; the
// packet goes into a caller's buffer, reused from call to call, so steady encoding does not
// allocate. The codec's lookahead (6.5 ms) delays the decoded signal; delay_ms() gives it.
//
// Thread safety: none of its own; one stream, one thread at a time.
#ifndef OSTREL_LOOPBACK_MEDIA_OPUS_ENCODER_H_
#define OSTREL_LOOPBACK_MEDIA_OPUS_ENCODER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/opus_formats.h"

struct OpusEncoder;  // libopus

namespace ostrel {
namespace loopback {
namespace media {

class OpusEncoder {
public:
    // True when the encoder takes this format (see opus_formats.h).
    static bool supports(int rate, int channels, int frame_ms) {
        return opus_supports_rate(rate) && opus_supports_channels(channels) && opus_supports_frame_ms(frame_ms);
    }

    // Bits per second when none is given: the SDK's default for a local audio channel.
    static constexpr int kDefaultBitrate = 51200;

    // Throws std::invalid_argument for a format supports() refuses or a bitrate
    // set_bitrate() would refuse, std::runtime_error when libopus fails to set up.
    OpusEncoder(int rate, int channels, int frame_ms, int bitrate_bps = kDefaultBitrate);

    OpusEncoder(OpusEncoder&&) noexcept = default;
    OpusEncoder& operator=(OpusEncoder&&) noexcept = default;
    OpusEncoder(const OpusEncoder&) = delete;
    OpusEncoder& operator=(const OpusEncoder&) = delete;
    ~OpusEncoder() = default;

    // Encodes one frame: frame_samples() samples per channel, interleaved. Replaces `packet`
    // with the encoded packet and returns true, or returns false (packet emptied) when libopus
    // fails.
    bool encode(const int16_t* pcm, std::vector<uint8_t>& packet);

    // Changes the target bitrate from the next frame on. Opus takes 500 to 512000 bits per
    // second; anything else is refused with false and the old rate kept.
    bool set_bitrate(int bitrate_bps);
    int bitrate() const { return bitrate_bps_; }

    // Samples per channel in one frame.
    size_t frame_samples() const { return frame_samples_; }
    // The input format given at construction.
    int rate() const { return rate_; }
    int channels() const { return channels_; }
    int frame_ms() const { return frame_ms_; }

    // The codec's lookahead: decoded audio lags the encoder's input by this much (in samples
    // per channel at rate(), and in milliseconds).
    int delay_samples() const { return delay_samples_; }
    double delay_ms() const { return delay_samples_ * 1000.0 / rate_; }

private:
    // Deleter of the unique_ptr: destroys the libopus encoder.
    struct Destroy {
        void operator()(::OpusEncoder* encoder) const;
    };

    int rate_;                                         // samples per second per channel
    int channels_;                                     // 1 or 2, interleaved
    int frame_ms_;                                     // length of every frame encoded
    size_t frame_samples_;                             // samples per channel per frame
    int bitrate_bps_;                                  // current target bitrate
    int delay_samples_ = 0;                            // lookahead, samples per channel
    std::unique_ptr<::OpusEncoder, Destroy> encoder_;  // the libopus state
};

}  // namespace media
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_MEDIA_OPUS_ENCODER_H_
