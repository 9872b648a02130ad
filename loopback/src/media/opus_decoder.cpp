#include "media/opus_decoder.h"

#include <opus.h>

#include <stdexcept>
#include <string>

namespace ostrel {
namespace loopback {
namespace media {

void OpusDecoder::Destroy::operator()(::OpusDecoder* decoder) const { opus_decoder_destroy(decoder); }

OpusDecoder::OpusDecoder(int rate, int channels) : rate_(rate), channels_(channels) {
    if (!supports(rate, channels)) throw std::invalid_argument("OpusDecoder: unsupported PCM format");
    int err = OPUS_OK;
    decoder_.reset(opus_decoder_create(rate, channels, &err));
    if (!decoder_ || err != OPUS_OK) throw std::runtime_error(std::string("OpusDecoder: ") + opus_strerror(err));
}

int OpusDecoder::decode(const uint8_t* packet, size_t bytes, std::vector<int16_t>& pcm) {
    if (packet == nullptr || bytes == 0) return -1;  // libopus would take a null packet as a loss
    // One packet holds at most 120 ms.
    return run(packet, bytes, static_cast<size_t>(rate_) * 120 / 1000, pcm);
}

int OpusDecoder::conceal(size_t frame_samples, std::vector<int16_t>& pcm) {
    return run(nullptr, 0, frame_samples, pcm);
}

int OpusDecoder::run(const uint8_t* packet, size_t bytes, size_t max_samples, std::vector<int16_t>& pcm) {
    const size_t start = pcm.size();
    const size_t ch = static_cast<size_t>(channels_);
    pcm.resize(start + max_samples * ch);
    const int n = opus_decode(decoder_.get(), packet, static_cast<opus_int32>(bytes), pcm.data() + start,
                              static_cast<int>(max_samples), 0);
    pcm.resize(n < 0 ? start : start + static_cast<size_t>(n) * ch);
    return n < 0 ? -1 : n;
}

}  // namespace media
}  // namespace loopback
}  // namespace ostrel
