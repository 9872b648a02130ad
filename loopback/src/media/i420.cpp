#include "media/i420.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from.h>

namespace ostrel {
namespace loopback {
namespace media {

namespace {

size_t luma(int width, int height) { return static_cast<size_t>(width) * static_cast<size_t>(height); }
size_t chroma(int width, int height) {
    return static_cast<size_t>(chroma_size(width)) * static_cast<size_t>(chroma_size(height));
}

// Points `view` at packed Y, U, V planes starting at `data`.
void packed_view(const uint8_t* data, int width, int height, I420View& view) {
    view.y = data;
    view.u = data + luma(width, height);
    view.v = view.u + chroma(width, height);
    view.stride_y = width;
    view.stride_u = view.stride_v = chroma_size(width);
    view.width = width;
    view.height = height;
}

}  // namespace

size_t i420_bytes(int width, int height) { return luma(width, height) + 2 * chroma(width, height); }

size_t yuva420p_bytes(int width, int height) { return i420_bytes(width, height) + luma(width, height); }

void I420Image::resize(int width, int height) {
    width_ = width > 0 ? width : 0;
    height_ = height > 0 ? height : 0;
    data_.resize(i420_bytes(width_, height_));
}

I420View I420Image::view() const {
    I420View v;
    packed_view(data_.data(), width_, height_, v);
    return v;
}

bool i420_view(const uint8_t* data, size_t bytes, int width, int height, I420View& view) {
    if (width <= 0 || height <= 0 || data == nullptr || bytes < i420_bytes(width, height)) return false;
    packed_view(data, width, height, view);
    return true;
}

bool yuva420p_view(const uint8_t* data, size_t bytes, int width, int height, I420View& view) {
    if (width <= 0 || height <= 0 || data == nullptr || bytes < yuva420p_bytes(width, height)) return false;
    packed_view(data, width, height, view);
    return true;
}

bool rgba_to_i420(const uint8_t* rgba, int stride, int width, int height, I420Image& out) {
    if (width <= 0 || height <= 0 || rgba == nullptr || stride < 4 * width) return false;
    out.resize(width, height);
    const int cw = chroma_size(width);
    // libyuv names formats by the order in a little-endian 32-bit word, so its "ABGR" is the
    // byte sequence R, G, B, A.
    return libyuv::ABGRToI420(rgba, stride, out.y(), width, out.u(), cw, out.v(), cw, width, height) == 0;
}

void i420_to_rgba(const I420View& p, std::vector<uint8_t>& rgba) {
    rgba.resize(4 * luma(p.width, p.height));
    libyuv::I420ToABGR(p.y, p.stride_y, p.u, p.stride_u, p.v, p.stride_v, rgba.data(), 4 * p.width, p.width, p.height);
}

}  // namespace media
}  // namespace loopback
}  // namespace ostrel
