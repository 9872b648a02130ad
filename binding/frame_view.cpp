// The view counts of frame records and the buffer slots' common work (see frame_view.h).
#include "frame_view.h"

#include <unordered_map>

namespace ostrel_binding {

namespace {

// Exported views per frame record; a record without views has no entry. Made at the first view
// and never destroyed, so a view released late in the interpreter's exit still finds it.
std::unordered_map<const void*, size_t>& view_counts() {
    static auto* counts = new std::unordered_map<const void*, size_t>();
    return *counts;
}

// What an empty payload's view points at: a valid address for a length of 0.
const uint8_t kNoBytes[1] = {0};

}  // namespace

void refuse_while_viewed(const void* frame) {
    const auto& counts = view_counts();
    if (counts.find(frame) != counts.end())
        throw py::buffer_error("the frame's payload cannot change while a view of it (a memoryview, an array) exists");
}

void note_view(const void* frame) { ++view_counts()[frame]; }

void forget_view(const void* frame) {
    auto& counts = view_counts();
    const auto entry = counts.find(frame);
    if (entry != counts.end() && --entry->second == 0) counts.erase(entry);
}

int export_view(PyObject* self, Py_buffer* view, int flags, const void* frame, const uint8_t* data, size_t size) {
    // Counted first: the count is the only step that can fail after PyBuffer_FillInfo has taken
    // its reference to `self`.
    note_view(frame);
    void* start = const_cast<uint8_t*>(data != nullptr ? data : kNoBytes);
    // Read-only: a request for a writable buffer fails here with BufferError.
    if (PyBuffer_FillInfo(view, self, start, static_cast<Py_ssize_t>(size), 1, flags) == -1) {
        forget_view(frame);
        view->obj = nullptr;
        return -1;
    }
    view->internal = const_cast<void*>(frame);
    return 0;
}

void release_frame_buffer(PyObject*, Py_buffer* view) { forget_view(view->internal); }

}  // namespace ostrel_binding
