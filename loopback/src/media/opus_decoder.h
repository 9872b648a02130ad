// Opus decoding into 16-bit interleaved PCM.
//
// Design: RAII over one libopus decoder. The output format is the decoder's own, chosen at
// construction, and need not be the encoder's: Opus decodes any packet at any rate it codes,
// in mono or stereo. Each packet carries its own frame length, so one decoder takes a stream
// whose frame length changes. A lost packet is concealed from the decoder's history.
//
// Thread safety: none of its own; one stream, one thread at a time.
#ifndef OSTREL_LOOPBACK_MEDIA_OPUS_DECODER_H_
#define OSTREL_LOOPBACK_MEDIA_OPUS_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/opus_formats.h"

struct OpusDecoder;  // libopus

namespace ostrel {
namespace loopback {
namespace media {

// Move-only, as the libopus state it owns.
class OpusDecoder {
public:
    // True when the decoder can produce this format (see opus_formats.h).
    static bool supports(int rate, int channels) {
        return opus_supports_rate(rate) && opus_supports_channels(channels);
    }

    // Throws std::invalid_argument for a format supports() refuses, std::runtime_error when
    // libopus fails to set up.
    OpusDecoder(int rate, int channels);

    // Decodes one packet and appends its PCM (interleaved, channels() per frame) to `pcm`.
    // Returns the samples per channel appended, or -1 for a packet libopus rejects, in which
    // case `pcm` is unchanged.
    int decode(const uint8_t* packet, size_t bytes, std::vector<int16_t>& pcm);

    // Appends `frame_samples` samples per channel that conceal a lost packet. Returns the
    // samples per channel appended, or -1 when libopus refuses the length (it must be a
    // multiple of 2.5 ms).
    int conceal(size_t frame_samples, std::vector<int16_t>& pcm);

    // The output format.
    int rate() const { return rate_; }
    int channels() const { return channels_; }

private:
    // Deleter of the unique_ptr: destroys the libopus decoder.
    struct Destroy {
        void operator()(::OpusDecoder* decoder) const;
    };

    // decode() and conceal(): appends at most max_samples per channel; -1 on failure.
    int run(const uint8_t* packet, size_t bytes, size_t max_samples, std::vector<int16_t>& pcm);

    int rate_;                                         // output samples per second per channel
    int channels_;                                     // output channels, 1 or 2, interleaved
    std::unique_ptr<::OpusDecoder, Destroy> decoder_;  // the libopus state
};

}  // namespace media
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_MEDIA_OPUS_DECODER_H_
