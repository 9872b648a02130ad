// 16-bit PCM conversion between a sender's channel format and a receiver's output format:
// channel up/down-mix, rate conversion through a band-limiting resampler (media::Resampler,
// state kept across frames), re-framing to the receiver's frame length, mixing of several
// senders, and a simple energy voice detector.
//
// Timestamps stay those of the input: an output frame carries the pts of the input frame its
// first sample came from, and the next ones follow at the output frame length. Converted audio
// lags its timestamps by the resampler's filter delay (delay_ms(), 0.9 to 5.1 ms).
#ifndef OSTREL_LOOPBACK_MEDIA_PCM_STREAM_H_
#define OSTREL_LOOPBACK_MEDIA_PCM_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "media/resampler.h"

namespace ostrel::loopback::media {

// Sample rates, channel counts and frame lengths the SDK accepts for a local audio channel and
// for a receiver's output.
bool valid_sample_rate(int rate);
bool valid_channels(int channels);
bool valid_frame_length_ms(int ms);

// Samples per channel in one frame.
inline size_t frame_samples(int rate, int ms) { return static_cast<size_t>(rate) * static_cast<size_t>(ms) / 1000; }

struct PcmFrame {
    std::vector<int16_t> samples;  // interleaved
    uint32_t pts = 0;              // milliseconds
    bool has_voice = false;
};

// Converts one sender's stream of frames into frames of the receiver's format.
class PcmStream {
public:
    PcmStream(int in_rate, int in_channels, int out_rate, int out_channels, int out_frame_ms);

    // Converts `count` interleaved input frames-of-samples (count samples per channel) and
    // appends every completed output frame to `out`.
    void push(const int16_t* samples, size_t count, uint32_t pts, bool has_voice, std::vector<PcmFrame>& out);

    bool matches(int in_rate, int in_channels) const { return in_rate == in_rate_ && in_channels == in_channels_; }
    // How far converted audio lags its timestamps; 0 at equal rates.
    double delay_ms() const { return resampler_ ? resampler_->delay_ms() : 0.0; }

private:
    void emit_ready(std::vector<PcmFrame>& out);

    int in_rate_;                         // input samples per second per channel
    int in_channels_;                     // input channels
    int out_channels_;                    // output channels
    int out_frame_ms_;                    // output frame length
    size_t out_frame_values_;             // samples per output frame, all channels
    std::optional<Resampler> resampler_;  // present when the rates differ
    std::vector<int16_t> mapped_;         // scratch: input after channel mapping
    std::vector<int16_t> pending_;        // output not yet a whole frame
    uint32_t pending_pts_ = 0;            // pts of pending_'s first sample
    bool pending_voice_ = false;          // voice in any input of pending_
};

// Sums frames of the same format with saturation.
void mix_into(std::vector<int32_t>& sum, const std::vector<int16_t>& frame);
std::vector<int16_t> saturate(const std::vector<int32_t>& sum);

// True when the frame's RMS level is at or above kVoiceRms (about -40 dBFS).
constexpr double kVoiceRms = 328.0;
bool detect_voice(const int16_t* samples, size_t count);

}  // namespace ostrel::loopback::media

#endif  // OSTREL_LOOPBACK_MEDIA_PCM_STREAM_H_
