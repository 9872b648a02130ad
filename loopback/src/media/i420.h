// Planar YUV 4:2:0 pictures (I420) and the conversions of the SDK's pixel formats into it.
//
// Design: the codecs work on I420, so every pixel format meets them here. A picture payload
// is packed planes without padding: Y (width x height), then U and V (each ceil(width/2) x
// ceil(height/2)), and for YUVA420p an alpha plane (width x height) after V. I420View borrows
// planes (a payload, a decoder's picture) without copying; I420Image owns them. Dropping alpha
// is a view over the first three planes of a YUVA420p payload; RGBA (bytes R, G, B, A in
// memory) converts through libyuv with BT.601 limited-range coefficients, the H.264 default.
#ifndef OSTREL_LOOPBACK_MEDIA_I420_H_
#define OSTREL_LOOPBACK_MEDIA_I420_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostrel {
namespace loopback {
namespace media {

// Borrowed planes of one picture; valid while their owner is.
struct I420View {
    const uint8_t* y = nullptr;  // luma, `height` rows of `width` bytes
    const uint8_t* u = nullptr;  // Cb, chroma_height rows of chroma_width bytes
    const uint8_t* v = nullptr;  // Cr, same size as u
    int stride_y = 0;            // bytes from one luma row to the next
    int stride_u = 0;            // bytes from one Cb row to the next
    int stride_v = 0;            // bytes from one Cr row to the next
    int width = 0;               // pixels
    int height = 0;              // pixels
};

inline int chroma_size(int luma) { return (luma + 1) / 2; }

// Bytes of a packed I420 payload, and of a packed YUVA420p one.
size_t i420_bytes(int width, int height);
size_t yuva420p_bytes(int width, int height);

// A picture that owns its packed planes.
class I420Image {
public:
    I420Image() = default;
    I420Image(int width, int height) { resize(width, height); }

    // Sets the size; plane contents are unspecified afterwards. Allocates only to grow.
    void resize(int width, int height);

    // Size in pixels.
    int width() const { return width_; }
    int height() const { return height_; }
    // The planes, packed one after the other (see the note at the top).
    uint8_t* y() { return data_.data(); }
    uint8_t* u() { return data_.data() + luma_bytes(); }
    uint8_t* v() { return u() + chroma_bytes(); }
    const uint8_t* y() const { return data_.data(); }
    const uint8_t* u() const { return data_.data() + luma_bytes(); }
    const uint8_t* v() const { return u() + chroma_bytes(); }
    // The packed payload: Y, U, V.
    const std::vector<uint8_t>& data() const { return data_; }
    // Borrowed planes of this picture, valid until it is resized or destroyed.
    I420View view() const;

private:
    // Bytes of the Y plane and of each chroma plane.
    size_t luma_bytes() const { return static_cast<size_t>(width_) * static_cast<size_t>(height_); }
    size_t chroma_bytes() const {
        return static_cast<size_t>(chroma_size(width_)) * static_cast<size_t>(chroma_size(height_));
    }

    int width_ = 0;              // pixels
    int height_ = 0;             // pixels
    std::vector<uint8_t> data_;  // packed Y, U, V planes
};

// Views over a packed payload of `bytes` bytes; false (view untouched) when the size is not
// positive or the payload is shorter than the format needs. The YUVA420p view leaves the alpha
// plane out, which is all that I420 needs.
bool i420_view(const uint8_t* data, size_t bytes, int width, int height, I420View& view);
bool yuva420p_view(const uint8_t* data, size_t bytes, int width, int height, I420View& view);

// Converts RGBA rows (`stride` bytes apart) into `out`, resized to the picture; false for a
// size that is not positive or a stride shorter than a row.
bool rgba_to_i420(const uint8_t* rgba, int stride, int width, int height, I420Image& out);

// Converts a picture into packed RGBA (alpha 255), replacing `rgba`.
void i420_to_rgba(const I420View& picture, std::vector<uint8_t>& rgba);

}  // namespace media
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_MEDIA_I420_H_
