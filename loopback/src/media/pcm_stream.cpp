#include "media/pcm_stream.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace ostrel::loopback::media {

bool valid_sample_rate(int rate) {
    switch (rate) {
        case 8000:
        case 16000:
        case 24000:
        case 32000:
        case 44100:
        case 48000:
            return true;
        default:
            return false;
    }
}

bool valid_channels(int channels) { return channels == 1 || channels == 2; }

bool valid_frame_length_ms(int ms) { return ms == 10 || ms == 20 || ms == 40 || ms == 60; }

PcmStream::PcmStream(int in_rate, int in_channels, int out_rate, int out_channels, int out_frame_ms)
    : in_rate_(in_rate),
      in_channels_(in_channels),
      out_channels_(out_channels),
      out_frame_ms_(out_frame_ms),
      out_frame_values_(frame_samples(out_rate, out_frame_ms) * static_cast<size_t>(out_channels)) {
    if (in_rate != out_rate) resampler_.emplace(in_rate, out_rate, out_channels);
}

void PcmStream::push(const int16_t* samples, size_t count, uint32_t pts, bool has_voice, std::vector<PcmFrame>& out) {
    if (count == 0) return;
    const size_t oc = static_cast<size_t>(out_channels_);
    const size_t ic = static_cast<size_t>(in_channels_);

    // Channel mapping into the output channel count: mono is duplicated, stereo averaged.
    mapped_.resize(count * oc);
    for (size_t i = 0; i < count; ++i) {
        const int16_t* s = samples + i * ic;
        if (ic == oc) {
            for (size_t c = 0; c < oc; ++c) mapped_[i * oc + c] = s[c];
        } else if (ic == 1) {
            for (size_t c = 0; c < oc; ++c) mapped_[i * oc + c] = s[0];
        } else {
            int32_t sum = 0;
            for (size_t c = 0; c < ic; ++c) sum += s[c];
            mapped_[i * oc] = static_cast<int16_t>(sum / static_cast<int32_t>(ic));
        }
    }

    if (pending_.empty()) {
        pending_pts_ = pts;  // the start of an output frame
        pending_voice_ = false;
    }
    pending_voice_ = pending_voice_ || has_voice;
    if (resampler_) {
        resampler_->process(mapped_.data(), count, pending_);
    } else {
        pending_.insert(pending_.end(), mapped_.begin(), mapped_.end());
    }
    emit_ready(out);
}

void PcmStream::emit_ready(std::vector<PcmFrame>& out) {
    size_t start = 0;
    while (pending_.size() - start >= out_frame_values_) {
        PcmFrame f;
        f.samples.assign(pending_.begin() + static_cast<std::ptrdiff_t>(start),
                         pending_.begin() + static_cast<std::ptrdiff_t>(start + out_frame_values_));
        f.pts = pending_pts_;
        f.has_voice = pending_voice_;
        out.push_back(std::move(f));
        start += out_frame_values_;
        pending_pts_ += static_cast<uint32_t>(out_frame_ms_);
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
}

void mix_into(std::vector<int32_t>& sum, const std::vector<int16_t>& frame) {
    if (sum.size() < frame.size()) sum.resize(frame.size(), 0);
    for (size_t i = 0; i < frame.size(); ++i) sum[i] += frame[i];
}

std::vector<int16_t> saturate(const std::vector<int32_t>& sum) {
    std::vector<int16_t> out(sum.size());
    for (size_t i = 0; i < sum.size(); ++i) {
        out[i] = static_cast<int16_t>(
            std::clamp<int32_t>(sum[i], std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max()));
    }
    return out;
}

bool detect_voice(const int16_t* samples, size_t count) {
    if (count == 0) return false;
    double energy = 0.0;
    for (size_t i = 0; i < count; ++i) energy += static_cast<double>(samples[i]) * samples[i];
    return std::sqrt(energy / static_cast<double>(count)) >= kVoiceRms;
}

}  // namespace ostrel::loopback::media
