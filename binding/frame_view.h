// Read-only views of a frame record's payload through the buffer protocol.
//
// memoryview(frame) and numpy.frombuffer(frame, ...) read the payload where the SDK keeps it,
// without a copy; `data` stays the fresh bytes copy it always was. A view keeps the Python frame
// object alive (Py_buffer.obj), but not the payload itself: SetData, SetExtraData (the SDK keeps
// the extra data behind the same handle as the payload) and GetAudioFrame into the frame may all
// free the memory a view reads. So every frame record counts the views it has handed out, and
// each of those operations raises BufferError while the count is not zero, as a bytearray refuses
// to resize while it is exported.
//
// pybind11's own def_buffer cannot count: its release slot only frees its buffer_info. The frame
// classes are therefore declared with py::buffer_protocol() and get their two buffer slots from
// here. The counts live in one table keyed by the frame record's address, made at the first view
// and never destroyed (a view may be released while the interpreter is exiting). It is read and
// written only with the GIL held (getting and releasing a buffer, and every payload setter, run
// under it), so the GIL is its lock.
#ifndef OSTREL_FRAME_VIEW_H_
#define OSTREL_FRAME_VIEW_H_

#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>

#include "init_guard.h"

namespace ostrel_binding {

namespace py = pybind11;

// Raises BufferError when views of the frame record at `frame` are exported, before an operation
// that may replace its payload. Call with the GIL held.
void refuse_while_viewed(const void* frame);

// Bookkeeping behind the buffer slots, one view at a time (GIL held).
void note_view(const void* frame);
void forget_view(const void* frame);

// The buffer slots' common work: a read-only, one-dimensional view of `size` unsigned bytes at
// `data`, exported by `self` for the frame record at `frame`. 0, or -1 with a Python error set.
int export_view(PyObject* self, Py_buffer* view, int flags, const void* frame, const uint8_t* data, size_t size);

// bf_getbuffer of a frame class. The payload pointer is asked for only when the payload is not
// empty, as `data` does.
template <typename Frame>
int get_frame_buffer(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    // An instance whose __init__ never ran holds no frame for pybind11 to hand out.
    if (refuse_uninitialised(self)) return -1;
    try {
        const Frame& frame = py::handle(self).cast<const Frame&>();
        const size_t size = frame.size();
        return export_view(self, view, flags, &frame, size == 0 ? nullptr : frame.data(), size);
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_BufferError, e.what());
    }
    view->obj = nullptr;
    return -1;
}

// bf_releasebuffer of every frame class.
void release_frame_buffer(PyObject* self, Py_buffer* view);

// Gives a frame class, declared with py::buffer_protocol(), its counting buffer slots.
template <typename Frame>
void def_frame_view(py::class_<Frame>& cls) {
    PyBufferProcs* slots = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_as_buffer;
    slots->bf_getbuffer = &get_frame_buffer<Frame>;
    slots->bf_releasebuffer = &release_frame_buffer;
}

}  // namespace ostrel_binding

#endif  // OSTREL_FRAME_VIEW_H_
