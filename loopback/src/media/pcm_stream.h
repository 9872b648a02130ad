// 16-bit PCM conversion between a sender's channel format and a receiver's output format:
// channel up/down-mix, linear resampling with phase kept across frames, re-framing to the
// receiver's frame length, mixing of several senders, and a simple energy voice detector.
#ifndef OSTREL_LOOPBACK_MEDIA_PCM_STREAM_H_
#define OSTREL_LOOPBACK_MEDIA_PCM_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <vector>

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

private:
    void emit_ready(std::vector<PcmFrame>& out);

    int in_rate_;
    int in_channels_;
    int out_rate_;
    int out_channels_;
    int out_frame_ms_;
    size_t out_frame_values_;  // samples per output frame, all channels
    double step_;              // input samples per output sample
    double pos_ = 0.0;         // next output position; -1 is the last sample of the previous frame
    std::vector<int32_t> prev_;
    bool have_prev_ = false;
    std::vector<int16_t> pending_;
    uint32_t pending_pts_ = 0;
    bool pending_voice_ = false;
    std::vector<int32_t> mixed_;  // scratch: input after channel mapping
};

// Sums frames of the same format with saturation.
void mix_into(std::vector<int32_t>& sum, const std::vector<int16_t>& frame);
std::vector<int16_t> saturate(const std::vector<int32_t>& sum);

// True when the frame's RMS level is at or above kVoiceRms (about -40 dBFS).
constexpr double kVoiceRms = 328.0;
bool detect_voice(const int16_t* samples, size_t count);

}  // namespace ostrel::loopback::media

#endif  // OSTREL_LOOPBACK_MEDIA_PCM_STREAM_H_
