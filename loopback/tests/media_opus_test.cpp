// Opus encoder and decoder: round trips of a tone at several rates, channel counts and frame
// lengths (and decoded at another rate), the lookahead the decoded signal lags by, bitrate
// changes, and the SDK rates Opus does not code.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "media/opus_decoder.h"
#include "media/opus_encoder.h"
#include "media_signals.h"

namespace {

using media_signals::correlation;
using media_signals::signal;
using ostrel::loopback::media::OpusDecoder;
using ostrel::loopback::media::OpusEncoder;

struct Case {
    int rate, channels, frame_ms, decode_rate, decode_channels;
};

TEST(MediaOpus, RoundTripOfToneCorrelatesAfterTheLookahead) {
    const Case cases[] = {{48000, 1, 20, 48000, 1},
                          {16000, 2, 10, 16000, 2},
                          {8000, 1, 60, 8000, 1},
                          {24000, 2, 40, 24000, 1},
                          {48000, 2, 20, 16000, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz x" << c.channels << ", " << c.frame_ms << " ms -> "
                                        << c.decode_rate << " Hz x" << c.decode_channels);
        OpusEncoder enc(c.rate, c.channels, c.frame_ms);
        OpusDecoder dec(c.decode_rate, c.decode_channels);
        EXPECT_DOUBLE_EQ(enc.delay_ms(), 6.5);
        const size_t frame = enc.frame_samples();
        ASSERT_EQ(frame, static_cast<size_t>(c.rate * c.frame_ms / 1000));
        const std::vector<int16_t> x = signal(c.rate, c.channels, static_cast<size_t>(c.rate));  // 1 s
        std::vector<int16_t> y;
        std::vector<uint8_t> packet;
        const size_t decoded_frame = frame * static_cast<size_t>(c.decode_rate) / static_cast<size_t>(c.rate);
        for (size_t at = 0; at + frame <= x.size() / c.channels; at += frame) {
            ASSERT_TRUE(enc.encode(x.data() + at * c.channels, packet));
            ASSERT_FALSE(packet.empty());
            ASSERT_EQ(dec.decode(packet.data(), packet.size(), y), static_cast<int>(decoded_frame));
        }
        // Compare at the decoder's rate: the reference is the same signal generated there.
        const std::vector<int16_t> ref = signal(c.decode_rate, 1, static_cast<size_t>(c.decode_rate));
        const size_t lag = static_cast<size_t>(std::lround(enc.delay_ms() * c.decode_rate / 1000));
        const double r = correlation(ref, 1, y, c.decode_channels, lag, static_cast<size_t>(c.decode_rate / 10));
        EXPECT_GE(r, 0.95);
        // Misaligned by a quarter period of the 440 Hz tone, the match must be visibly worse:
        // the lag above is what lines the signals up.
        const size_t off = lag + static_cast<size_t>(c.decode_rate / 440 / 4);
        EXPECT_LT(correlation(ref, 1, y, c.decode_channels, off, static_cast<size_t>(c.decode_rate / 10)), r - 0.1);
    }
}

TEST(MediaOpus, BitrateChangesThePacketSize) {
    OpusEncoder enc(48000, 1, 20, 16000);
    const std::vector<int16_t> x = signal(48000, 1, 48000);
    std::vector<uint8_t> packet;
    auto mean_bytes = [&](size_t first, size_t count) {
        size_t total = 0;
        for (size_t i = first; i < first + count; ++i) {
            EXPECT_TRUE(enc.encode(x.data() + i * enc.frame_samples(), packet));
            total += packet.size();
        }
        return static_cast<double>(total) / count;
    };
    mean_bytes(0, 5);  // the first packets of a stream are larger
    const double low = mean_bytes(5, 20);
    EXPECT_TRUE(enc.set_bitrate(96000));
    EXPECT_EQ(enc.bitrate(), 96000);
    mean_bytes(25, 5);
    const double high = mean_bytes(30, 20);
    // 40 bytes per 20 ms at 16 kbit/s; variable bitrate spends more on a steady tone.
    EXPECT_LE(low, 2 * 40.0);
    EXPECT_GT(high, 3 * low);
    EXPECT_FALSE(enc.set_bitrate(100));
    EXPECT_FALSE(enc.set_bitrate(1000000));
    EXPECT_EQ(enc.bitrate(), 96000);
}

TEST(MediaOpus, RefusesFormatsOpusDoesNotCode) {
    // Accepted by the SDK but not coded by Opus: the caller resamples these.
    EXPECT_FALSE(OpusEncoder::supports(32000, 1, 20));
    EXPECT_FALSE(OpusDecoder::supports(44100, 1));
    EXPECT_THROW(OpusEncoder(44100, 1, 20), std::invalid_argument);
    EXPECT_THROW(OpusDecoder(32000, 1), std::invalid_argument);
}

}  // namespace
