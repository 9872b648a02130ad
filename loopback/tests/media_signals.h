// Test signals of the media tests: a two-tone audio signal and a moving picture, and the
// measures that compare what came out with what went in.
#ifndef OSTREL_LOOPBACK_TESTS_MEDIA_SIGNALS_H_
#define OSTREL_LOOPBACK_TESTS_MEDIA_SIGNALS_H_

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/i420.h"

namespace media_signals {

using ostrel::loopback::media::chroma_size;
using ostrel::loopback::media::I420Image;

constexpr double kPi = 3.14159265358979323846;

// Interleaved two-tone signal at half of full scale, the same in every channel.
inline std::vector<int16_t> signal(int rate, int channels, size_t frames) {
    std::vector<int16_t> out(frames * static_cast<size_t>(channels));
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double v = 10000 * std::sin(2 * kPi * 440 * t) + 6000 * std::sin(2 * kPi * 1250 * t);
        for (int c = 0; c < channels; ++c) out[i * channels + c] = static_cast<int16_t>(std::lround(v));
    }
    return out;
}

// Normalised correlation of channel 0 of x with channel 0 of y shifted `lag` frames later,
// from frame `from` on.
inline double correlation(const std::vector<int16_t>& x, int xch, const std::vector<int16_t>& y, int ych, size_t lag,
                          size_t from) {
    double xy = 0, xx = 0, yy = 0;
    for (size_t i = from; (i + lag) * ych < y.size() && i * xch < x.size(); ++i) {
        const double a = x[i * xch], b = y[(i + lag) * ych];
        xy += a * b;
        xx += a * a;
        yy += b * b;
    }
    return xy / std::sqrt(xx * yy);
}

// Picture `n` of a moving pattern: a drifting diagonal gradient, vertical bars sliding
// sideways, a bright box crossing the picture, and chroma that rotates with time.
inline I420Image pattern(int width, int height, int n) {
    I420Image p(width, height);
    // The bars and the chroma depend on the column or the row alone, so each sine is taken
    // once a column or a row, not once a pixel (which costs seconds a test under an emulator
    // and a sanitizer).
    std::vector<double> bars(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x) bars[x] = 40 * std::sin(2 * kPi * (x - 4 * n) / 48.0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double v = 60 + 0.25 * ((x + y + 3 * n) % 256) + bars[x];
            const int bx = (8 * n) % width, by = height / 3;
            if (x >= bx && x < bx + width / 6 && y >= by && y < by + height / 4) v = 220;
            p.y()[y * width + x] = static_cast<uint8_t>(std::lround(std::min(255.0, std::max(0.0, v))));
        }
    }
    const int cw = chroma_size(width), ch = chroma_size(height);
    std::vector<uint8_t> u(static_cast<size_t>(cw));
    for (int x = 0; x < cw; ++x) u[x] = static_cast<uint8_t>(128 + 50 * std::cos(2 * kPi * (x + n) / cw));
    for (int y = 0; y < ch; ++y) {
        const uint8_t v = static_cast<uint8_t>(128 + 50 * std::sin(2 * kPi * (y + n) / ch));
        std::copy(u.begin(), u.end(), p.u() + y * cw);
        std::fill(p.v() + y * cw, p.v() + (y + 1) * cw, v);
    }
    return p;
}

inline double psnr(const uint8_t* a, const uint8_t* b, size_t n) {
    double se = 0;
    for (size_t i = 0; i < n; ++i) se += (static_cast<double>(a[i]) - b[i]) * (a[i] - b[i]);
    return se == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * n / se);
}

}  // namespace media_signals

#endif  // OSTREL_LOOPBACK_TESTS_MEDIA_SIGNALS_H_
