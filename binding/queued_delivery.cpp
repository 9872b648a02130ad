// The Python classes EventQueue and QueuedDelegate: delivery of a cloud's events to one Python
// thread, which takes them in batches, instead of calls of Python methods on the SDK's threads.
//
// A consumer (ostrel.aio's loop) makes one EventQueue, watches its fileno() for readability,
// gives each cloud a QueuedDelegate(queue, key) with a key of its choosing, and calls take()
// when the file descriptor is readable. take() turns each event waiting into
// (key, name, args, time): `name` the Python delegate method's name, `args` the arguments that
// method would have received, and `time` the moment of the SDK's call on the caller's clock.
// An event whose arguments cannot be made (a string that is not UTF-8) is reported on standard
// error as a Python delegate's failing callback is, and left out.
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>

#include "bindings.h"
#include "event_queue.h"
#include "queued_delegate.h"
#include "reported_errors.h"

namespace ostrel_binding {

namespace {

// 64 MiB of frame payload per delegate: seconds of 4K video, hours of speech.
constexpr size_t kDefaultFrameBytesLimit = size_t{64} << 20;

// The name of each row as an interned str, made at the first take (GIL held), kept for good.
PyObject* row_name(size_t row) {
    static PyObject* names[kQueuedEventRows] = {};
    if (names[row] == nullptr && (names[row] = PyUnicode_InternFromString(kQueuedEventNames[row])) == nullptr) {
        throw py::error_already_set();
    }
    return names[row];
}

py::list take(EventQueue& queue, double now, bool real_time) {
    auto events = queue.take();
    const int64_t now_ns = monotonic_ns();
    py::list taken;
    for (auto& event : events) {
        py::tuple arguments;
        try {
            arguments = event->arguments();
        } catch (py::error_already_set& e) {
            const std::string line =
                std::string("python callback ") + kQueuedEventNames[event->event()] + " error: " + e.what();
            std::cerr << line << std::endl;
            keep_reported_error(reported_errors_epoch(), line);
            continue;
        }
        const double time = real_time ? now - static_cast<double>(now_ns - event->made_ns()) / 1e9 : now;
        taken.append(py::make_tuple(event->key(), py::handle(row_name(event->event())), std::move(arguments), time));
    }
    return taken;
}

}  // namespace

void bind_queued_delivery(py::module_& m) {
    py::class_<EventQueue, std::shared_ptr<EventQueue>>(
        m, "EventQueue", "Events of clouds with a QueuedDelegate, waiting in native memory for one thread to take them")
        .def(py::init<>())
        .def("fileno", &EventQueue::fd, "The file descriptor that is readable while events wait.")
        .def("__bool__", &EventQueue::waiting, "True while events wait.")
        .def_property_readonly("frames_lost", &EventQueue::frames_lost,
                               "Frame events its delegates did not queue: their frame_bytes_limit was reached.")
        .def("take", &take, py::arg("now"), py::arg("real_time") = true,
             "Every event waiting, oldest first, as (key, name, args, time). time is `now` less the "
             "time since the SDK's call (just `now` when real_time is false).");

    py::class_<QueuedDelegate, ostrel::vonu::VONUCloudDelegate, std::shared_ptr<QueuedDelegate>>(
        m, "QueuedDelegate", py::is_final(),
        "A delegate that queues every event in an EventQueue, without the GIL, under its key")
        .def(py::init<std::shared_ptr<EventQueue>, uint64_t, size_t>(), py::arg("queue"), py::arg("key"),
             py::arg("frame_bytes_limit") = kDefaultFrameBytesLimit)
        .def_property_readonly("key", &QueuedDelegate::key)
        .def_property_readonly(
            "waiting", [](const QueuedDelegate& self) { return self.account().waiting.load(); },
            "Events queued and not yet taken.")
        .def_property_readonly(
            "frames_lost", [](const QueuedDelegate& self) { return self.account().frames_lost.load(); },
            "Frame events not queued: frame_bytes_limit bytes of frames were waiting.");
}

}  // namespace ostrel_binding
