// Streaming sample-rate conversion of 16-bit interleaved PCM, mono or stereo.
//
// Design: a thin owner of one speexdsp resampler (quality 5, "desktop"). speexdsp was chosen
// over libsoxr by measurement over every pair of accepted rates (bench/native/
// resampler_quality.cpp): both keep every spurious component below -96 dB relative to the
// tone, but speexdsp returns the output of each input frame at once (20 ms in, 20 ms out,
// behind a constant filter delay of 0.9 to 5.1 ms), while libsoxr holds its output back and
// releases it in blocks (18 to 175 ms of latency with its default sizes, still up to 64 ms
// with the smallest), which would pace frames unevenly; libsoxr also brings OpenMP along.
// libsoxr is several times cheaper, but at a few milliseconds of work per second of audio
// either is negligible. The filter state lives across calls, so frames of one stream
// join without clicks. Equal rates bypass the filter: the output is the input, bit for bit,
// with no delay.
//
// Thread safety: none of its own; one stream, one thread at a time.
#ifndef OSTREL_LOOPBACK_MEDIA_RESAMPLER_H_
#define OSTREL_LOOPBACK_MEDIA_RESAMPLER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct SpeexResamplerState_;

namespace ostrel {
namespace loopback {
namespace media {

// Move-only, as the speexdsp state it owns.
class Resampler {
public:
    // Converts from in_rate to out_rate (samples per second per channel, 1 to 384000) with
    // `channels` interleaved channels (1 or 2). Throws std::invalid_argument for values out of
    // that range and std::runtime_error when the library cannot set up the filter.
    Resampler(int in_rate, int out_rate, int channels);

    // Converts `frames` interleaved frames (frames * channels samples) and appends every output
    // frame they complete to `out`. The count appended follows the rate ratio, with the
    // fraction carried to the next call. Allocates only when `out` must grow.
    void process(const int16_t* in, size_t frames, std::vector<int16_t>& out);

    // Forgets the filter history, as for the start of a new stream.
    void reset();

    // How far the output lags the input: an input sample at time t comes out at t + delay_ms().
    // Constant for the life of the resampler; 0 when the rates are equal.
    double delay_ms() const { return delay_ms_; }

    // The conversion given at construction.
    int in_rate() const { return in_rate_; }
    int out_rate() const { return out_rate_; }
    int channels() const { return channels_; }

    // The speexdsp quality level used; 5 keeps the stop band near 100 dB down at a filter
    // delay of at most 5.1 ms.
    static constexpr int kQuality = 5;

private:
    // Deleter of the unique_ptr: destroys the speexdsp state.
    struct Destroy {
        void operator()(SpeexResamplerState_* state) const;
    };

    int in_rate_;                                           // input samples per second per channel
    int out_rate_;                                          // output samples per second per channel
    int channels_;                                          // interleaved channels, 1 or 2
    double delay_ms_ = 0.0;                                 // filter delay, see delay_ms()
    std::unique_ptr<SpeexResamplerState_, Destroy> state_;  // null when the rates are equal
};

}  // namespace media
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_MEDIA_RESAMPLER_H_
