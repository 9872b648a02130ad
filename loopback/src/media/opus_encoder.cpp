#include "media/opus_encoder.h"

#include <opus.h>

#include <stdexcept>
#include <string>

namespace ostrel {
namespace loopback {
namespace media {

namespace {

// libopus's recommended packet buffer: room for the largest packet of any frame length.
constexpr size_t kMaxPacketBytes = 4000;
constexpr int kMinOpusBitrate = 500;
constexpr int kMaxOpusBitrate = 512000;

}  // namespace

void OpusEncoder::Destroy::operator()(::OpusEncoder* encoder) const { opus_encoder_destroy(encoder); }

OpusEncoder::OpusEncoder(int rate, int channels, int frame_ms, int bitrate_bps)
    : rate_(rate),
      channels_(channels),
      frame_ms_(frame_ms),
      frame_samples_(static_cast<size_t>(rate) * static_cast<size_t>(frame_ms) / 1000),
      bitrate_bps_(bitrate_bps) {
    if (!supports(rate, channels, frame_ms)) throw std::invalid_argument("OpusEncoder: unsupported PCM format");
    if (bitrate_bps < kMinOpusBitrate || bitrate_bps > kMaxOpusBitrate) {
        throw std::invalid_argument("OpusEncoder: bitrate out of range");
    }
    int err = OPUS_OK;
    encoder_.reset(opus_encoder_create(rate, channels, OPUS_APPLICATION_AUDIO, &err));
    if (!encoder_ || err != OPUS_OK) throw std::runtime_error(std::string("OpusEncoder: ") + opus_strerror(err));
    if (opus_encoder_ctl(encoder_.get(), OPUS_SET_BITRATE(bitrate_bps)) != OPUS_OK) {
        throw std::runtime_error("OpusEncoder: bitrate refused");
    }
    opus_int32 lookahead = 0;
    opus_encoder_ctl(encoder_.get(), OPUS_GET_LOOKAHEAD(&lookahead));
    delay_samples_ = lookahead;
}

bool OpusEncoder::encode(const int16_t* pcm, std::vector<uint8_t>& packet) {
    packet.resize(kMaxPacketBytes);
    const opus_int32 bytes = opus_encode(encoder_.get(), pcm, static_cast<int>(frame_samples_), packet.data(),
                                         static_cast<opus_int32>(packet.size()));
    if (bytes < 0) {
        packet.clear();
        return false;
    }
    packet.resize(static_cast<size_t>(bytes));
    return true;
}

bool OpusEncoder::set_bitrate(int bitrate_bps) {
    if (bitrate_bps < kMinOpusBitrate || bitrate_bps > kMaxOpusBitrate) return false;
    if (opus_encoder_ctl(encoder_.get(), OPUS_SET_BITRATE(bitrate_bps)) != OPUS_OK) return false;
    bitrate_bps_ = bitrate_bps;
    return true;
}

}  // namespace media
}  // namespace loopback
}  // namespace ostrel
