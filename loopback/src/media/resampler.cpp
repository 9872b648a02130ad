#include "media/resampler.h"

#include <speex/speex_resampler.h>

#include <stdexcept>
#include <string>

namespace ostrel {
namespace loopback {
namespace media {

namespace {

constexpr int kMaxRate = 384000;

}  // namespace

void Resampler::Destroy::operator()(SpeexResamplerState_* state) const { speex_resampler_destroy(state); }

Resampler::Resampler(int in_rate, int out_rate, int channels)
    : in_rate_(in_rate), out_rate_(out_rate), channels_(channels) {
    if (in_rate < 1 || in_rate > kMaxRate || out_rate < 1 || out_rate > kMaxRate) {
        throw std::invalid_argument("Resampler: sample rate out of range");
    }
    if (channels != 1 && channels != 2) throw std::invalid_argument("Resampler: channels must be 1 or 2");
    if (in_rate == out_rate) return;
    int err = RESAMPLER_ERR_SUCCESS;
    state_.reset(speex_resampler_init(static_cast<spx_uint32_t>(channels), static_cast<spx_uint32_t>(in_rate),
                                      static_cast<spx_uint32_t>(out_rate), kQuality, &err));
    if (!state_ || err != RESAMPLER_ERR_SUCCESS) {
        throw std::runtime_error(std::string("Resampler: ") + speex_resampler_strerror(err));
    }
    // The library reports its delay in whole output samples; the filter is linear-phase, so
    // every frequency is delayed by the same amount.
    delay_ms_ = speex_resampler_get_output_latency(state_.get()) * 1000.0 / out_rate;
}

void Resampler::process(const int16_t* in, size_t frames, std::vector<int16_t>& out) {
    const size_t ch = static_cast<size_t>(channels_);
    if (!state_) {
        out.insert(out.end(), in, in + frames * ch);
        return;
    }
    while (frames > 0) {
        // Room for every output frame this input can complete, plus one for the carried
        // fraction; the loop covers a library that stops early anyway.
        const size_t room = frames * static_cast<size_t>(out_rate_) / static_cast<size_t>(in_rate_) + 2;
        const size_t start = out.size();
        out.resize(start + room * ch);
        spx_uint32_t in_len = static_cast<spx_uint32_t>(frames);
        spx_uint32_t out_len = static_cast<spx_uint32_t>(room);
        speex_resampler_process_interleaved_int(state_.get(), in, &in_len, out.data() + start, &out_len);
        out.resize(start + static_cast<size_t>(out_len) * ch);
        if (in_len == 0 && out_len == 0) break;  // no progress: never spin
        in += static_cast<size_t>(in_len) * ch;
        frames -= in_len;
    }
}

void Resampler::reset() {
    if (state_) speex_resampler_reset_mem(state_.get());
}

}  // namespace media
}  // namespace loopback
}  // namespace ostrel
