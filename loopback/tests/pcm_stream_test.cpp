// Conversion of one sender's PCM stream to a receiver's format: channel mapping, reframing,
// timestamps, and mixing.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "media/pcm_stream.h"

namespace {

using ostrel::loopback::media::PcmFrame;
using ostrel::loopback::media::PcmStream;

std::vector<int16_t> ramp(size_t n, int16_t start) {
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(start + static_cast<int16_t>(i));
    return v;
}

TEST(PcmStream, SameRateIsBitExactAndReframedWithContinuousPts) {
    PcmStream s(16000, 1, 16000, 1, 20);
    std::vector<PcmFrame> out;
    std::vector<int16_t> sent;
    for (uint32_t k = 0; k < 6; ++k) {  // six 10 ms frames become three 20 ms frames
        const auto frame = ramp(160, static_cast<int16_t>(k * 160));
        sent.insert(sent.end(), frame.begin(), frame.end());
        s.push(frame.data(), frame.size(), 1000 + 10 * k, k == 3, out);
    }
    ASSERT_EQ(out.size(), 3u);
    std::vector<int16_t> received;
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].samples.size(), 320u);
        EXPECT_EQ(out[i].pts, 1000 + 20 * i);
        received.insert(received.end(), out[i].samples.begin(), out[i].samples.end());
    }
    EXPECT_EQ(received, sent);
    EXPECT_FALSE(out[0].has_voice);
    EXPECT_TRUE(out[1].has_voice);  // voice in any input frame marks the output frame
}

TEST(PcmStream, ChannelMappingDuplicatesMonoAndAveragesStereo) {
    std::vector<PcmFrame> out;
    PcmStream up(8000, 1, 8000, 2, 10);
    const auto mono = ramp(80, 100);
    up.push(mono.data(), 80, 0, false, out);
    ASSERT_EQ(out.size(), 1u);
    for (size_t i = 0; i < 80; ++i) {
        EXPECT_EQ(out[0].samples[2 * i], mono[i]);
        EXPECT_EQ(out[0].samples[2 * i + 1], mono[i]);
    }
    out.clear();
    PcmStream down(8000, 2, 8000, 1, 10);
    std::vector<int16_t> stereo(160);
    for (size_t i = 0; i < 80; ++i) {
        stereo[2 * i] = 1000;
        stereo[2 * i + 1] = -3000;
    }
    down.push(stereo.data(), 80, 0, false, out);
    ASSERT_EQ(out.size(), 1u);
    for (int16_t v : out[0].samples) EXPECT_EQ(v, -1000);
}

TEST(PcmStream, RateChangeKeepsTheDurationOverManyFrames) {
    for (auto [in, out_rate] : {std::pair<int, int>{48000, 16000}, {16000, 48000}, {44100, 48000}}) {
        PcmStream s(in, 1, out_rate, 1, 10);
        std::vector<PcmFrame> out;
        const std::vector<int16_t> frame(static_cast<size_t>(in) / 100, 1000);
        for (int k = 0; k < 100; ++k) s.push(frame.data(), frame.size(), static_cast<uint32_t>(10 * k), false, out);
        // One second in, one second out (less at most the filter's or interpolator's delay).
        EXPECT_GE(out.size(), 98u) << in << " -> " << out_rate;
        EXPECT_LE(out.size(), 100u) << in << " -> " << out_rate;
        for (size_t i = 1; i < out.size(); ++i) EXPECT_EQ(out[i].pts, out[i - 1].pts + 10);
    }
}

TEST(PcmStream, MixingSaturates) {
    std::vector<int32_t> sum;
    ostrel::loopback::media::mix_into(sum, {30000, -30000, 5});
    ostrel::loopback::media::mix_into(sum, {30000, -30000, 5});
    EXPECT_EQ(ostrel::loopback::media::saturate(sum), (std::vector<int16_t>{32767, -32768, 10}));
}

}  // namespace
