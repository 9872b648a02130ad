// H.264 encoding of I420 pictures into Annex B access units.
//
// Design: RAII over one OpenH264 encoder set up for real-time camera video: one spatial and
// one temporal layer, baseline profile, bitrate rate control with frame skipping
// off (so every picture yields one access unit), one slice and no threads of its own (the
// engine's threads do the work; nothing runs behind the caller's back). A key frame (IDR, with
// its SPS and PPS in front) starts the stream, recurs every GOP, and comes on request.
// Bitrate, frame rate and GOP change live; a new picture size needs a new encoder.
//
// Allocation: the library allocates at construction; encode() copies the access unit into
// the caller's buffer, which grows only when an access unit is bigger than any before.
// Thread safety: none of its own; one stream, one thread at a time.
#ifndef OSTREL_LOOPBACK_MEDIA_H264_ENCODER_H_
#define OSTREL_LOOPBACK_MEDIA_H264_ENCODER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/i420.h"

class ISVCEncoder;  // OpenH264

namespace ostrel {
namespace loopback {
namespace media {

struct H264EncoderConfig {
    int width = 0;           // pixels, even
    int height = 0;          // pixels, even
    double frame_rate = 15;  // frames per second, as in VideoEncodeParams
    int bitrate_bps = 0;     // 0: H264Encoder::default_bitrate()
    double gop_seconds = 3;  // key frame interval in seconds, as in VideoEncodeParams
};

// One encoded picture.
struct H264AccessUnit {
    std::vector<uint8_t> data;  // Annex B: NAL units, each behind a 4-byte start code
    bool idr = false;           // an IDR picture, decodable without anything before it
};

class H264Encoder {
public:
    // True for the picture sizes the encoder takes: even width and height, 16 to 4096.
    static bool supports(int width, int height);

    // The bitrate used when the config gives 0: 0.1 bit per pixel and frame, at least
    // 64 kbit/s (640x360 at 15 frames per second: 346 kbit/s; 1920x1080 at 30: 6.2 Mbit/s).
    static int default_bitrate(int width, int height, double frame_rate);

    // Throws std::invalid_argument for a size supports() refuses or a frame rate, bitrate or
    // GOP that is not positive (bitrate 0 excepted), std::runtime_error when OpenH264 fails to
    // set up.
    explicit H264Encoder(const H264EncoderConfig& config);

    H264Encoder(H264Encoder&&) noexcept = default;
    H264Encoder& operator=(H264Encoder&&) noexcept = default;
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;
    ~H264Encoder() = default;

    // Encodes one picture of the configured size into `out` and returns true; returns false
    // (out.data emptied) for a picture of another size or when the library fails. `pts_ms`
    // feeds the rate control and should grow with the picture's time.
    bool encode(const I420View& picture, uint32_t pts_ms, H264AccessUnit& out);

    // Makes the next picture an IDR.
    void force_key_frame();

    // Live changes. Each returns false, keeping the old value, for a value that is not
    // positive or that the library refuses. A new frame rate keeps the GOP in seconds.
    bool set_bitrate(int bitrate_bps);
    bool set_frame_rate(double frame_rate);
    bool set_gop_seconds(double gop_seconds);

    // The settings in effect; bitrate_bps is the one used, never 0.
    const H264EncoderConfig& config() const { return config_; }
    // The key frame interval in pictures: gop_seconds x frame_rate, rounded, at least 1.
    int gop_frames() const;

private:
    // Deleter of the unique_ptr: uninitialises and destroys the library's encoder.
    struct Destroy {
        void operator()(ISVCEncoder* encoder) const;
    };

    // Hands gop_frames() to the library; false when it refuses.
    bool apply_gop();

    H264EncoderConfig config_;                       // settings in effect
    std::unique_ptr<ISVCEncoder, Destroy> encoder_;  // the OpenH264 encoder, initialised
};

}  // namespace media
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_MEDIA_H264_ENCODER_H_
