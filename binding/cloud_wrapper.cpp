#include "cloud_wrapper.h"

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "bindings.h"
#include "callback_gate.h"
#include "delegate_object.h"
#include "fork_guard.h"
#include "frame_payload.h"
#include "frame_view.h"
#include "internals.h"
#include "thread_state.h"

namespace py = pybind11;
using ostrel::vonu::VONUCloud;

VONUCloudWrapper::VONUCloudWrapper(std::shared_ptr<PyVONUCloudDelegate> delegate)
    : vonu_cloud_(nullptr),
      delegate_(std::move(delegate)),
      callbacks_of_(delegate_.get()),
      process_(ostrel_binding::process_generation()) {
    vonu_cloud_ = VONUCloud::Create(delegate_.get());
    if (vonu_cloud_ == nullptr) throw std::runtime_error("VONUCloud::Create returned no cloud instance");
}

VONUCloudWrapper::~VONUCloudWrapper() {
    if (releasing_) return;
    destroy(std::exchange(vonu_cloud_, nullptr));
    ostrel_binding::release_ended_thread_states_taking_gil();  // the instance's threads may have ended
}

void VONUCloudWrapper::Release() {
    if (!releasing_) {
        releasing_ = true;
        VONUCloud* cloud = std::exchange(vonu_cloud_, nullptr);
        if (uses_ > 0) {
            deferred_ = cloud;  // the last method to return destroys it
            return;
        }
        {
            py::gil_scoped_release nogil;
            destroy(cloud);
        }
        ostrel_binding::release_ended_thread_states();   // the instance's threads may have ended
        ostrel_binding::release_left_weak_references();  // its delegate may have gone without the GIL
        return;
    }
    if (ostrel_binding::in_callback_of(callbacks_of_)) return;  // Destroy may be waiting for this very callback
    {
        std::lock_guard<std::mutex> lock(released_mutex_);
        if (released_) return;
    }
    py::gil_scoped_release nogil;
    std::unique_lock<std::mutex> lock(released_mutex_);
    released_cv_.wait(lock, [this] { return released_; });
}

void VONUCloudWrapper::destroy(VONUCloud* cloud) {
    if (cloud != nullptr && !inherited() &&
        !(delegate_ && ostrel_binding::exit_gate_keeps(delegate_, delegate_->callbacks_inside))) {
        VONUCloud::Destroy(cloud);
    }
    delegate_.reset();
    {
        std::lock_guard<std::mutex> lock(released_mutex_);
        released_ = true;
    }
    released_cv_.notify_all();
}

bool VONUCloudWrapper::inherited() const { return process_ != ostrel_binding::process_generation(); }

VONUCloudWrapper::InstanceInUse::InstanceInUse(VONUCloudWrapper& wrapper)
    : wrapper_(wrapper), cloud_(wrapper.vonu_cloud_) {
    if (wrapper.inherited()) throw std::runtime_error(ostrel_binding::kForeignCloud);
    // Released already: the finalizer ran, through an explicit __del__() perhaps on another thread.
    if (cloud_ == nullptr) throw std::runtime_error("this VONUCloud has been destroyed");
    ++wrapper_.uses_;
}

VONUCloudWrapper::InstanceInUse::~InstanceInUse() {
    if (--wrapper_.uses_ > 0 || wrapper_.deferred_ == nullptr) return;
    VONUCloud* cloud = std::exchange(wrapper_.deferred_, nullptr);
    {
        py::gil_scoped_release nogil;
        wrapper_.destroy(cloud);
    }
    ostrel_binding::release_ended_thread_states();
    ostrel_binding::release_left_weak_references();
}

// Each method is its table row's body (cloud_methods.h).
#define OSTREL_DEFINE_CLOUD_METHOD(method, result, parameters, keywords, body) \
    result VONUCloudWrapper::method parameters { return body; }
OSTREL_CLOUD_METHODS(OSTREL_DEFINE_CLOUD_METHOD)
#undef OSTREL_DEFINE_CLOUD_METHOD

namespace ostrel_binding {

namespace {

// The cloud keeps its delegate alive through a keep-alive reference, which the garbage
// collector cannot see on its own. Traversing it lets the collector find the usual cycle
// (delegate -> its __dict__ -> cloud -> delegate).
//
// Such a cycle ends in two steps. The collector first runs the finalizers of every object in it
// and only then clears any of them, so the SDK instance is destroyed in the cloud's finalizer:
// a callback that Destroy waits for still runs on a whole delegate, never on one whose __dict__
// has been cleared. Clearing then only drops the keep-alive reference.
int traverse_cloud(PyObject* self, visitproc visit, void* arg) { return internals::visit_kept_alive(self, visit, arg); }

// Ends the SDK instance (see VONUCloudWrapper::Release); called with the GIL held.
void release_cloud(PyObject* self) {
    if (VONUCloudWrapper* wrapper = internals::held_value<VONUCloudWrapper>(self)) wrapper->Release();
}

void finalize_cloud(PyObject* self) {
    // A finalizer leaves the error indicator as it found it.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    release_cloud(self);
    PyErr_Restore(type, value, traceback);
}

int clear_cloud(PyObject* self) {
    release_cloud(self);  // already done when the collector ran the finalizer
    internals::clear_kept_alive(self);
    return 0;
}

// The keyword names of one method's parameters (the keywords column of cloud_methods.h).
template <typename... Names>
std::array<const char*, sizeof...(Names)> keyword_names(Names... names) {
    return {names...};
}

// Registers `method` as `name`, each parameter with its keyword name.
template <typename Result, typename... Params, size_t count, size_t... index>
void def_method_with(py::class_<VONUCloudWrapper>& cloud, const char* name,
                     Result (VONUCloudWrapper::*method)(Params...), const std::array<const char*, count>& keywords,
                     std::index_sequence<index...>) {
    cloud.def(name, method, py::arg(keywords[index])...);
}

template <typename Result, typename... Params, size_t count>
void def_method(py::class_<VONUCloudWrapper>& cloud, const char* name, Result (VONUCloudWrapper::*method)(Params...),
                const std::array<const char*, count>& keywords) {
    static_assert(count == sizeof...(Params), "cloud_methods.h: each parameter has one keyword name");
    def_method_with(cloud, name, method, keywords, std::make_index_sequence<count>());
}

}  // namespace

void bind_cloud(py::module_& m) {
    using W = VONUCloudWrapper;
    py::class_<W> cloud(m, "VONUCloud", py::release_gil_before_calling_cpp_dtor(),
                        py::custom_type_setup([](PyHeapTypeObject* heap_type) {
                            PyTypeObject* type = &heap_type->ht_type;
                            type->tp_flags |= Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_FINALIZE;
                            type->tp_traverse = traverse_cloud;
                            type->tp_clear = clear_cloud;
                            type->tp_finalize = finalize_cloud;
                        }));
    cloud.def(py::init([](std::shared_ptr<PyVONUCloudDelegate> delegate) {
                  install_fork_guard();
                  return std::make_unique<W>(std::move(delegate));
              }),
              py::keep_alive<1, 2>());
#define OSTREL_REGISTER_CLOUD_METHOD(method, result, parameters, keywords, body) \
    def_method(cloud, #method, &W::method, keyword_names keywords);
    OSTREL_CLOUD_METHODS(OSTREL_REGISTER_CLOUD_METHOD)
#undef OSTREL_REGISTER_CLOUD_METHOD
}

}  // namespace ostrel_binding
