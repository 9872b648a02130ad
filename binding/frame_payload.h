// Payloads between Python bytes and the SDK: frame payloads (the only path for them) and the
// messages that the cloud sends.
//
// A bytes parameter is read in place, never copied: the SDK gets the object's own buffer and
// length (zero bytes included), valid while the caller's reference keeps the object alive. The
// argument conversion admits only bytes objects (subclasses included), whose buffer can always
// be read; pybind11's reading raises the interpreter's error should that ever fail.
#ifndef OSTREL_FRAME_PAYLOAD_H_
#define OSTREL_FRAME_PAYLOAD_H_

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "frame_view.h"

namespace ostrel_binding {

namespace py = pybind11;

// A new bytes copy of the frame's payload. An empty payload never consults data().
template <typename Frame>
py::bytes GetFrameData(const Frame& frame) {
    if (frame.size() == 0) return py::bytes("", 0);
    const uint8_t* data = frame.data();
    return py::bytes(reinterpret_cast<const char*>(data), frame.size());
}

// The bytes object's own buffer and length, without a copy.
inline std::string_view payload_of(const py::bytes& data) { return static_cast<std::string_view>(data); }

// Hands the bytes object's own buffer to the setter, which copies it; no copy is made here.
// Refused with BufferError while a view of the frame's payload is exported.
template <typename Frame, void (Frame::*Setter)(const uint8_t*, size_t)>
void SetFrameData(Frame& frame, py::bytes data) {
    refuse_while_viewed(&frame);
    const std::string_view payload = payload_of(data);
    (frame.*Setter)(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
}

template <typename Frame>
size_t GetFrameSize(const Frame& frame) {
    return frame.size();
}

}  // namespace ostrel_binding

#endif  // OSTREL_FRAME_PAYLOAD_H_
