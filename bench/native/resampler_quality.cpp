// Quality table of the loopback SDK's resampler for every pair of sample rates the SDK
// accepts, measured the way the targets are stated: 16-bit tones at half of full scale, 2 s
// each, streamed in 20 ms frames.
// - spurious: the strongest component other than the tone (aliases, images, distortion,
//   quantisation), relative to the tone, over tones from 50 Hz to 0.8 of the lower rate's
//   Nyquist frequency; target -80 dB or lower.
// - flatness: the largest deviation of the tone's level over the same tones; target 0.5 dB.
// - stop band (lower output rate only): the strongest output component for input tones from
//   1.1 of the output's Nyquist frequency up to 0.98 of the input's, relative to the input
//   tone; target -80 dB or lower. "silent": every output sample was 0.
// - delay: the reported filter delay, and the measured latency (the longest an input sample
//   waits to come out, from the signal's phase and from how far output falls behind input).
// - cost: processing time per second of audio.
// Spectra use a Kaiser window (beta 20, side lobes far below 16-bit noise) over the longest
// power-of-two stretch after the first quarter second, with a radix-2 FFT.
//
// With libsoxr present at build time, the same table is printed for it (high quality, one
// thread), the alternative the resampler was chosen against. Exits 1 when the loopback
// resampler misses a target.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "media/pcm_stream.h"
#include "media/resampler.h"

#ifdef OSTREL_BENCH_HAVE_SOXR
#include <soxr.h>
#endif

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kAmplitude = 16384.0;

// One streaming converter under test: process() appends the output of one input frame.
using Convert = std::function<void(const int16_t*, size_t, std::vector<int16_t>&)>;
using Factory = std::function<Convert(int in_rate, int out_rate)>;

Convert loopback_resampler(int in, int out) {
    auto r = std::make_shared<ostrel::loopback::media::Resampler>(in, out, 1);
    return [r](const int16_t* x, size_t n, std::vector<int16_t>& y) { r->process(x, n, y); };
}

#ifdef OSTREL_BENCH_HAVE_SOXR
Convert soxr_resampler(int in, int out) {
    soxr_error_t err = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t rt = soxr_runtime_spec(1);
    std::shared_ptr<soxr> s(soxr_create(in, out, 1, &err, &io, &q, &rt), soxr_delete);
    return [s](const int16_t* x, size_t n, std::vector<int16_t>& y) {
        while (n > 0) {
            int16_t buf[4096];
            size_t used = 0, made = 0;
            soxr_process(s.get(), x, n, &used, buf, 4096, &made);
            y.insert(y.end(), buf, buf + made);
            x += used;
            n -= used;
        }
    };
}
#endif

void fft(std::vector<std::complex<double>>& a) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> step = std::polar(1.0, -2 * kPi / static_cast<double>(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w = 1;
            for (size_t k = 0; k < len / 2; ++k, w *= step) {
                const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

struct Spectrum {
    double tone_db = -300;   // level at the tone's exact frequency, relative to kAmplitude
    double other_db = -300;  // strongest bin outside the tone's main lobe, relative to kAmplitude
    double phase = 0;        // the tone's phase at the first analysed sample
    size_t first = 0;        // first analysed sample
};

// `hz` < 0: no tone to set apart.
Spectrum analyse(const std::vector<int16_t>& y, int rate, double hz) {
    Spectrum s;
    s.first = static_cast<size_t>(rate / 4);
    if (y.size() <= s.first + 16) return s;
    size_t n = 1;
    while (2 * n <= y.size() - s.first) n *= 2;
    const double beta = 20;
    std::vector<double> w(n);
    double wsum = 0;
    for (size_t i = 0; i < n; ++i) {
        const double r = 2.0 * static_cast<double>(i) / static_cast<double>(n - 1) - 1;
        w[i] = std::cyl_bessel_i(0.0, beta * std::sqrt(std::max(0.0, 1 - r * r))) / std::cyl_bessel_i(0.0, beta);
        wsum += w[i];
    }
    std::complex<double> at_tone = 0;
    std::vector<std::complex<double>> a(2 * n);  // zero-padded twice: half-bin steps
    for (size_t i = 0; i < n; ++i) {
        const double v = w[i] * y[s.first + i];
        a[i] = v;
        if (hz >= 0) at_tone += v * std::polar(1.0, -2 * kPi * hz * static_cast<double>(i) / rate);
    }
    fft(a);
    const double scale = 2 / wsum / kAmplitude;
    s.tone_db = 20 * std::log10(std::abs(at_tone) * scale + 1e-15);
    s.phase = std::arg(at_tone) + kPi / 2;  // of a sine
    const double bin_hz = rate / (2.0 * static_cast<double>(n));
    const double lobe_hz = 8.0 * rate / static_cast<double>(n);  // main lobe is about 6.5 bins wide each side
    double other = 0;
    for (size_t k = 0; k <= n; ++k) {
        if (hz >= 0 && std::abs(static_cast<double>(k) * bin_hz - hz) < lobe_hz) continue;
        other = std::max(other, std::abs(a[k]) * scale);
    }
    s.other_db = 20 * std::log10(other + 1e-15);
    return s;
}

struct Run {
    std::vector<int16_t> out;
    double seconds = 0;  // processing time
    double lag_ms = 0;   // largest shortfall of output time behind input time
};

Run run_tone(const Factory& make, int in, int out, double hz) {
    std::vector<int16_t> x(static_cast<size_t>(2 * in));
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<int16_t>(std::lround(kAmplitude * std::sin(2 * kPi * hz * i / in)));
    Convert c = make(in, out);
    Run r;
    const size_t frame = static_cast<size_t>(in / 50);
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t at = 0; at + frame <= x.size(); at += frame) {
        c(x.data() + at, frame, r.out);
        const double behind = (at + frame) * 1000.0 / in - r.out.size() * 1000.0 / out;
        r.lag_ms = std::max(r.lag_ms, behind);
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
}

struct Row {
    double spurious = -300, flatness = 0, stop = -300, latency = 0, cost_ms = 0;
    bool has_stop = false;
};

Row measure(const Factory& make, int in, int out) {
    Row row;
    double busy = 0, audio = 0;
    const double top = 0.8 * std::min(in, out) / 2;
    const int tones = 16;
    for (int t = 0; t < tones; ++t) {
        const double hz = 50 + (top - 50) * t / (tones - 1);
        const Run r = run_tone(make, in, out, hz);
        const Spectrum s = analyse(r.out, out, hz);
        row.spurious = std::max(row.spurious, s.other_db - s.tone_db);
        row.flatness = std::max(row.flatness, std::abs(s.tone_db));
        busy += r.seconds;
        audio += 2;
    }
    if (out < in) {
        row.has_stop = true;
        const double lo = 1.1 * out / 2, hi = 0.98 * in / 2;
        for (int t = 0; t < 8; ++t) {
            const Run r = run_tone(make, in, out, lo + (hi - lo) * t / 7);
            row.stop = std::max(row.stop, analyse(r.out, out, -1).other_db);
            busy += r.seconds;
            audio += 2;
        }
    }
    // Latency: the signal's own delay, from a 50 Hz tone's phase, plus output held back.
    const Run r = run_tone(make, in, out, 50);
    const Spectrum s = analyse(r.out, out, 50);
    const double expected = 2 * kPi * 50 * static_cast<double>(s.first) / out;
    const double signal_ms = std::remainder(expected - s.phase, 2 * kPi) / (2 * kPi * 50) * 1000;
    row.latency = signal_ms + r.lag_ms;
    row.cost_ms = busy / audio * 1000;
    return row;
}

// Prints the table for one converter; returns how many targets it missed.
int table(const char* name, const Factory& make, const std::vector<int>& rates, bool with_delay) {
    std::printf("\n%s\n", name);
    std::printf("%7s %7s %10s %9s %10s %9s %9s %10s\n", "in Hz", "out Hz", "spur dB", "flat dB", "stop dB",
                with_delay ? "delay ms" : "", "lat. ms", "cost ms/s");
    int missed = 0;
    double worst_spur = -300, worst_flat = 0, worst_stop = -300, worst_lat = 0, cost = 0;
    int pairs = 0;
    for (int in : rates) {
        for (int out : rates) {
            if (in == out) continue;
            const Row row = measure(make, in, out);
            char stop[16] = "-";
            if (row.has_stop) std::snprintf(stop, sizeof stop, row.stop < -290 ? "silent" : "%.1f", row.stop);
            char delay[16] = "";
            if (with_delay)
                std::snprintf(delay, sizeof delay, "%.2f", ostrel::loopback::media::Resampler(in, out, 1).delay_ms());
            const bool ok = row.spurious <= -80 && row.flatness <= 0.5 && (!row.has_stop || row.stop <= -80);
            std::printf("%7d %7d %10.1f %9.3f %10s %9s %9.2f %10.3f%s\n", in, out, row.spurious, row.flatness, stop,
                        delay, row.latency, row.cost_ms, ok ? "" : "  MISSED");
            missed += ok ? 0 : 1;
            worst_spur = std::max(worst_spur, row.spurious);
            worst_flat = std::max(worst_flat, row.flatness);
            if (row.has_stop) worst_stop = std::max(worst_stop, row.stop);
            worst_lat = std::max(worst_lat, row.latency);
            cost += row.cost_ms;
            ++pairs;
        }
    }
    std::printf("worst %14.1f %9.3f %10.1f %9s %9.2f %10.3f (mean)\n", worst_spur, worst_flat, worst_stop, "",
                worst_lat, cost / pairs);
    return missed;
}

}  // namespace

int main() {
    std::vector<int> rates;
    for (int r : {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000}) {
        if (ostrel::loopback::media::valid_sample_rate(r)) rates.push_back(r);
    }
    const int missed = table("loopback resampler (speexdsp, quality 5)", loopback_resampler, rates, true);
#ifdef OSTREL_BENCH_HAVE_SOXR
    table("libsoxr, high quality, for comparison", soxr_resampler, rates, false);
#endif
    std::printf("\n%s\n", missed == 0 ? "all targets met" : "targets missed");
    return missed == 0 ? 0 : 1;
}
