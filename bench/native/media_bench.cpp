// Cost of the loopback SDK's media building blocks, one frame per iteration:
// - Opus encode and decode of 20 ms of 48 kHz audio (mono and stereo);
// - H.264 encode of a moving 360p and 1080p test pattern at the default bitrate (15 frames per
//   second, 0.1 bit per pixel), reporting the stream's bitrate and the luma PSNR of the decoded
//   pictures as counters; H.264 decode of the same streams;
// - RGBA to I420 conversion of one picture.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "media/h264_decoder.h"
#include "media/h264_encoder.h"
#include "media/i420.h"
#include "media/opus_decoder.h"
#include "media/opus_encoder.h"

namespace {

// Named one by one: libopus declares OpusEncoder and OpusDecoder in the global namespace.
using ostrel::loopback::media::chroma_size;
using ostrel::loopback::media::H264AccessUnit;
using ostrel::loopback::media::H264Decoder;
using ostrel::loopback::media::H264Encoder;
using ostrel::loopback::media::H264EncoderConfig;
using ostrel::loopback::media::I420Image;
using ostrel::loopback::media::OpusDecoder;
using ostrel::loopback::media::OpusEncoder;
using ostrel::loopback::media::rgba_to_i420;

constexpr double kPi = 3.14159265358979323846;

std::vector<int16_t> tone(int rate, int channels, size_t frames) {
    std::vector<int16_t> out(frames * static_cast<size_t>(channels));
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<int16_t>(12000 * std::sin(2 * kPi * 440 * static_cast<double>(i / channels) / rate));
    }
    return out;
}

void BM_OpusEncode(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    OpusEncoder enc(48000, channels, 20);
    const std::vector<int16_t> pcm = tone(48000, channels, 48000);
    std::vector<uint8_t> packet;
    size_t frame = 0;
    for (auto _ : state) {
        enc.encode(pcm.data() + frame * enc.frame_samples() * channels, packet);
        frame = (frame + 1) % 50;
        benchmark::DoNotOptimize(packet.data());
    }
}
BENCHMARK(BM_OpusEncode)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_OpusDecode(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    OpusEncoder enc(48000, channels, 20);
    OpusDecoder dec(48000, channels);
    const std::vector<int16_t> pcm = tone(48000, channels, 48000);
    std::vector<std::vector<uint8_t>> packets(50);
    for (size_t f = 0; f < packets.size(); ++f) enc.encode(pcm.data() + f * enc.frame_samples() * channels, packets[f]);
    std::vector<int16_t> out;
    size_t frame = 0;
    for (auto _ : state) {
        out.clear();
        dec.decode(packets[frame].data(), packets[frame].size(), out);
        frame = (frame + 1) % packets.size();
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_OpusDecode)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// A moving pattern: drifting gradient, sliding bars (triangle wave) and a box crossing.
void draw(I420Image& p, int n) {
    const int w = p.width(), h = p.height();
    for (int y = 0; y < h; ++y) {
        uint8_t* row = p.y() + static_cast<size_t>(y) * w;
        for (int x = 0; x < w; ++x) {
            const int bar = (x + 4 * n) % 48;
            int v = 60 + ((x + y + 3 * n) % 256) / 4 + (bar < 24 ? bar : 48 - bar) * 3;
            if (x >= (8 * n) % w && x < (8 * n) % w + w / 6 && y >= h / 3 && y < h / 3 + h / 4) v = 220;
            row[x] = static_cast<uint8_t>(v);
        }
    }
    const int cw = chroma_size(w), ch = chroma_size(h);
    for (int y = 0; y < ch; ++y) {
        for (int x = 0; x < cw; ++x) {
            p.u()[static_cast<size_t>(y) * cw + x] = static_cast<uint8_t>(128 + ((x + n) % 100) - 50);
            p.v()[static_cast<size_t>(y) * cw + x] = static_cast<uint8_t>(128 + ((y + n) % 100) - 50);
        }
    }
}

constexpr int kPictures = 30;  // two seconds at 15 frames per second

// The test pattern's pictures, drawn once per size.
const std::vector<I420Image>& pictures(int width, int height) {
    static std::vector<I420Image> cache;
    if (cache.empty() || cache[0].width() != width) {
        cache.assign(kPictures, I420Image(width, height));
        for (int n = 0; n < kPictures; ++n) draw(cache[n], n);
    }
    return cache;
}

H264EncoderConfig config(int width, int height) {
    H264EncoderConfig c;
    c.width = width;
    c.height = height;
    c.gop_seconds = kPictures / c.frame_rate;  // every pass over the pictures starts at an IDR
    return c;
}

double luma_psnr(const I420Image& a, const I420Image& b) {
    double se = 0;
    const size_t n = static_cast<size_t>(a.width()) * a.height();
    for (size_t i = 0; i < n; ++i) se += (static_cast<double>(a.y()[i]) - b.y()[i]) * (a.y()[i] - b.y()[i]);
    return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * n / se);
}

void BM_H264Encode(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const std::vector<I420Image>& in = pictures(w, h);
    H264Encoder enc(config(w, h));
    H264Decoder dec;
    H264AccessUnit au;
    I420Image out;
    size_t bytes = 0, frames = 0;
    double psnr = 0;
    int n = 0;
    for (auto _ : state) {
        enc.encode(in[n].view(), static_cast<uint32_t>(frames * 1000 / 15), au);
        state.PauseTiming();
        bytes += au.data.size();
        if (dec.decode(au.data.data(), au.data.size(), out) == H264Decoder::Result::kPicture)
            psnr += luma_psnr(in[n], out);
        ++frames;
        n = (n + 1) % kPictures;
        state.ResumeTiming();
    }
    state.counters["kbit_s"] = bytes * 8.0 * 15 / static_cast<double>(frames) / 1000;
    state.counters["target_kbit_s"] = enc.config().bitrate_bps / 1000.0;
    state.counters["psnr_y_dB"] = psnr / static_cast<double>(frames);
}
BENCHMARK(BM_H264Encode)->Args({640, 360})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

void BM_H264Decode(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const std::vector<I420Image>& in = pictures(w, h);
    H264Encoder enc(config(w, h));
    std::vector<H264AccessUnit> stream(kPictures);
    for (int n = 0; n < kPictures; ++n) enc.encode(in[n].view(), static_cast<uint32_t>(n * 1000 / 15), stream[n]);
    H264Decoder dec;
    I420Image out;
    int n = 0;
    for (auto _ : state) {
        dec.decode(stream[n].data.data(), stream[n].data.size(), out);
        n = (n + 1) % kPictures;
        benchmark::DoNotOptimize(out.y());
    }
}
BENCHMARK(BM_H264Decode)->Args({640, 360})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

void BM_RgbaToI420(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    std::vector<uint8_t> rgba(static_cast<size_t>(w) * h * 4, 0x80);
    I420Image out;
    for (auto _ : state) {
        rgba_to_i420(rgba.data(), 4 * w, w, h, out);
        benchmark::DoNotOptimize(out.y());
    }
}
BENCHMARK(BM_RgbaToI420)->Args({640, 360})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
