// Resampler: quality targets (pass band level, spurious components, stop band, stereo channels
// kept apart) on three representative rate pairs streamed in 20 ms frames, the reported delay
// against the measured one, and the bit-exact bypass for equal rates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "media/resampler.h"

namespace {

using ostrel::loopback::media::Resampler;

constexpr double kPi = 3.14159265358979323846;
constexpr double kAmplitude = 16384.0;  // half of full scale

// Interleaved 16-bit tones, one frequency per channel, `seconds` long.
std::vector<int16_t> tones(int rate, const std::vector<double>& hz, double seconds) {
    const size_t frames = static_cast<size_t>(rate * seconds);
    std::vector<int16_t> out(frames * hz.size());
    for (size_t i = 0; i < frames; ++i) {
        for (size_t c = 0; c < hz.size(); ++c) {
            out[i * hz.size() + c] =
                static_cast<int16_t>(std::lround(kAmplitude * std::sin(2 * kPi * hz[c] * i / rate)));
        }
    }
    return out;
}

// Streams `in` through `r` in 20 ms frames.
std::vector<int16_t> stream(Resampler& r, const std::vector<int16_t>& in) {
    const size_t ch = static_cast<size_t>(r.channels());
    const size_t frame = static_cast<size_t>(r.in_rate() / 50);
    std::vector<int16_t> out;
    for (size_t at = 0; at + frame * ch <= in.size(); at += frame * ch) r.process(in.data() + at, frame, out);
    return out;
}

struct Fit {
    double level_db;     // tone amplitude relative to kAmplitude
    double residual_db;  // everything but the tone, relative to the tone
    double phase;        // of the tone at the window's first sample, radians
};

// Fits DC and a tone of integer frequency `hz` to one channel over exactly one second starting
// at `skip_s`; whole cycles make the three terms orthogonal, so the fit is three sums. The
// residual is the total of all other components, so it bounds each of them.
Fit fit(const std::vector<int16_t>& x, int channels, int channel, int rate, double hz, double skip_s = 0.5) {
    const size_t n = static_cast<size_t>(rate);
    const size_t start = static_cast<size_t>(rate * skip_s);
    double dc = 0, c = 0, s = 0;
    for (size_t i = 0; i < n; ++i) {
        const double v = x[(start + i) * channels + channel];
        const double w = 2 * kPi * hz * i / rate;
        dc += v;
        c += v * std::cos(w);
        s += v * std::sin(w);
    }
    dc /= n;
    c *= 2.0 / n;
    s *= 2.0 / n;
    double residual = 0;
    for (size_t i = 0; i < n; ++i) {
        const double w = 2 * kPi * hz * i / rate;
        const double e = x[(start + i) * channels + channel] - dc - c * std::cos(w) - s * std::sin(w);
        residual += e * e;
    }
    const double amp = std::hypot(c, s);
    const double tone_power = amp * amp / 2;
    return {20 * std::log10(amp / kAmplitude), 10 * std::log10(residual / n / tone_power + 1e-30), std::atan2(c, s)};
}

double rms_db(const std::vector<int16_t>& x, int rate, double skip_s = 0.5) {
    const size_t start = static_cast<size_t>(rate * skip_s);
    double sum = 0;
    for (size_t i = start; i < x.size(); ++i) sum += static_cast<double>(x[i]) * x[i];
    const double tone_power = kAmplitude * kAmplitude / 2;
    return 10 * std::log10(sum / (x.size() - start) / tone_power + 1e-30);
}

TEST(MediaResampler, MeetsQualityTargetsOnRepresentativePairs) {
    const int pairs[][2] = {{48000, 16000}, {16000, 48000}, {44100, 48000}};
    for (const auto& p : pairs) {
        const int in = p[0], out = p[1];
        SCOPED_TRACE(testing::Message() << in << " -> " << out);
        const double band_top = 0.8 * std::min(in, out) / 2;
        for (double hz : {100.0, std::round(band_top / 2), std::floor(band_top)}) {
            SCOPED_TRACE(testing::Message() << hz << " Hz");
            Resampler r(in, out, 1);
            const std::vector<int16_t> x = tones(in, {hz}, 2.0);
            const std::vector<int16_t> y = stream(r, x);
            // Nothing is lost or invented across frame boundaries: 100 frames in, 2 s out,
            // less what the filter still holds.
            EXPECT_NEAR(static_cast<double>(y.size()), 2.0 * out, 2.0);
            const Fit f = fit(y, 1, 0, out, hz);
            EXPECT_LE(std::abs(f.level_db), 0.5);
            EXPECT_LE(f.residual_db, -80.0);
        }
        {
            // Stereo: each channel keeps its own tone; the other one's would be a 0 dB residual.
            Resampler r(in, out, 2);
            const std::vector<int16_t> y = stream(r, tones(in, {440.0, 1000.0}, 2.0));
            for (int c = 0; c < 2; ++c) EXPECT_LE(fit(y, 2, c, out, c == 0 ? 440.0 : 1000.0).residual_db, -80.0) << c;
        }
        if (out < in) {
            // Above 1.1 times the output's Nyquist frequency nothing may come through.
            for (double hz : {std::ceil(1.1 * out / 2), 0.75 * in / 2, 0.98 * in / 2}) {
                SCOPED_TRACE(testing::Message() << hz << " Hz, stop band");
                Resampler r(in, out, 1);
                EXPECT_LE(rms_db(stream(r, tones(in, {hz}, 2.0)), out), -80.0);
            }
        }
    }
}

TEST(MediaResampler, ReportedDelayMatchesTheSignal) {
    const int pairs[][2] = {{48000, 16000}, {16000, 48000}, {44100, 48000}, {8000, 32000}};
    for (const auto& p : pairs) {
        const int in = p[0], out = p[1];
        SCOPED_TRACE(testing::Message() << in << " -> " << out);
        Resampler r(in, out, 1);
        EXPECT_GT(r.delay_ms(), 0.0);
        EXPECT_LT(r.delay_ms(), 10.0);
        // A 50 Hz tone (20 ms period) lagging by d has its phase lowered by 2 pi 50 d.
        const double hz = 50;
        const Fit f = fit(stream(r, tones(in, {hz}, 2.0)), 1, 0, out, hz);
        const double expected_phase = 2 * kPi * hz * 0.5;  // the input's phase at the window start
        double lag = std::remainder(expected_phase - f.phase, 2 * kPi) / (2 * kPi * hz) * 1000.0;
        EXPECT_NEAR(lag, r.delay_ms(), 1000.0 / out) << "measured " << lag << " ms";
    }
}

TEST(MediaResampler, EqualRatesPassThroughBitExact) {
    for (int channels : {1, 2}) {
        Resampler r(32000, 32000, channels);
        EXPECT_EQ(r.delay_ms(), 0.0);
        std::vector<int16_t> x(640 * channels);
        uint32_t seed = 1;
        for (int16_t& v : x) v = static_cast<int16_t>((seed = seed * 1664525u + 1013904223u) >> 16);
        std::vector<int16_t> y;
        r.process(x.data(), 640, y);
        r.process(x.data(), 640, y);
        ASSERT_EQ(y.size(), 2 * x.size());
        EXPECT_TRUE(std::equal(x.begin(), x.end(), y.begin()));
        EXPECT_TRUE(std::equal(x.begin(), x.end(), y.begin() + static_cast<std::ptrdiff_t>(x.size())));
    }
}

}  // namespace
