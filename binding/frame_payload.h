// Payload exchange between frame records and Python bytes: the only path for frame payloads.
#ifndef OSTREL_FRAME_PAYLOAD_H_
#define OSTREL_FRAME_PAYLOAD_H_

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>

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

// Hands the bytes object's own buffer to the setter, which copies it; no copy is made here.
// Refused with BufferError while a view of the frame's payload is exported.
template <typename Frame, void (Frame::*Setter)(const uint8_t*, size_t)>
void SetFrameData(Frame& frame, py::bytes data) {
    refuse_while_viewed(&frame);
    char* buffer = nullptr;
    Py_ssize_t buffer_len = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &buffer_len) == -1) throw py::error_already_set();
    (frame.*Setter)(reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(buffer_len));
}

template <typename Frame>
size_t GetFrameSize(const Frame& frame) {
    return frame.size();
}

}  // namespace ostrel_binding

#endif  // OSTREL_FRAME_PAYLOAD_H_
