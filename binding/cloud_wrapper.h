// VONUCloudWrapper: owns one SDK cloud instance together with the delegate it reports to.
#ifndef OSTREL_CLOUD_WRAPPER_H_
#define OSTREL_CLOUD_WRAPPER_H_

#include <pybind11/pybind11.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "cloud_methods.h"
#include "delegate.h"
#include "vonu/ostrel_vonu_cloud.h"

// Lives in the global namespace, like the delegate, so that signatures show its native name.
class VONUCloudWrapper {
    using EnterRoomParams = ostrel::vonu::EnterRoomParams;
    using StreamType = ostrel::vonu::StreamType;
    using AudioFrame = ostrel::vonu::AudioFrame;
    using VideoFrame = ostrel::vonu::VideoFrame;
    using PixelFrame = ostrel::vonu::PixelFrame;
    using AudioEncodeParams = ostrel::vonu::AudioEncodeParams;
    using VideoEncodeParams = ostrel::vonu::VideoEncodeParams;
    using VADParams = ostrel::vonu::VADParams;

public:
    // Raises std::runtime_error when the SDK gives no instance, so no wrapper ever calls
    // through a null instance.
    explicit VONUCloudWrapper(std::shared_ptr<PyVONUCloudDelegate> delegate);
    // Runs without the GIL (the class releases it before calling the destructor), so Destroy
    // may wait for a callback of this instance that is itself waiting for the GIL. Nothing else
    // can reach the wrapper then: it destroys the instance unless Release already has, and then
    // releases the thread states of the SDK threads that ended, taking the GIL for that.
    ~VONUCloudWrapper();

    VONUCloudWrapper(const VONUCloudWrapper&) = delete;
    VONUCloudWrapper& operator=(const VONUCloudWrapper&) = delete;
    VONUCloudWrapper(VONUCloudWrapper&&) = delete;
    VONUCloudWrapper& operator=(VONUCloudWrapper&&) = delete;

    // The methods of class VONUCloud (cloud_methods.h), each a call of the SDK instance.
#define OSTREL_DECLARE_CLOUD_METHOD(method, result, parameters, keywords, body) result method parameters;
    OSTREL_CLOUD_METHODS(OSTREL_DECLARE_CLOUD_METHOD)
#undef OSTREL_DECLARE_CLOUD_METHOD

    // Ends the SDK instance for good; called with the GIL held, by the finalizer (an explicit
    // __del__() or the garbage collector) and by tp_clear. The first call takes the instance out,
    // so that every method called from then on raises RuntimeError, and destroys it with the GIL
    // released. A call arriving while that Destroy runs waits for it to finish (with the GIL
    // released), unless the calling thread is inside a callback of this cloud's delegate, which
    // Destroy may be waiting for: that call returns at once. A call made while a method of this
    // cloud is inside the SDK (an SDK that runs a callback on the caller's thread) leaves the
    // Destroy to that method, which runs it as it returns. Later calls do nothing. Once the GIL
    // is back after a Destroy, the thread states of the SDK threads that ended are released.
    //
    // Two instances are left undestroyed, because Destroy could not end well: one inherited
    // through fork() (it is the parent's), and one whose callback the exit gate gave up on at
    // interpreter exit (Destroy would wait for that callback forever).
    void Release();

private:
    // One method's use of the SDK instance: counted from before the SDK call until it returns,
    // so that Release never destroys an instance that a method is still inside. Made and ended
    // with the GIL held.
    class InstanceInUse {
    public:
        // Raises RuntimeError in a child process, where the instance belongs to the parent,
        // and once Release has begun.
        explicit InstanceInUse(VONUCloudWrapper& wrapper);
        // Runs a Destroy that Release left to the last method to return.
        ~InstanceInUse();
        InstanceInUse(const InstanceInUse&) = delete;
        InstanceInUse& operator=(const InstanceInUse&) = delete;
        ostrel::vonu::VONUCloud* operator->() const { return cloud_; }

    private:
        VONUCloudWrapper& wrapper_;       // whose instance is in use
        ostrel::vonu::VONUCloud* cloud_;  // the live instance, for this one call
    };
    // The instance for one method's call (the `sdk()` of cloud_methods.h).
    InstanceInUse sdk() { return InstanceInUse(*this); }

    // Made in another process: this one is a child of it, through fork().
    bool inherited() const;
    // Destroys `cloud` (unless it is inherited or kept by the exit gate), lets go of the delegate
    // and wakes the callers of Release waiting for it. Runs without the GIL.
    void destroy(ostrel::vonu::VONUCloud* cloud);

    ostrel::vonu::VONUCloud* vonu_cloud_;            // owned; null once Release has begun (GIL)
    std::shared_ptr<PyVONUCloudDelegate> delegate_;  // shared with the Python delegate object
    const void* const callbacks_of_;                 // the delegate, as the exit gate knows its callbacks
    const unsigned process_;                         // process_generation() at construction
    bool releasing_ = false;                         // Release has begun (GIL)
    int uses_ = 0;                                   // methods inside the SDK now (GIL)
    ostrel::vonu::VONUCloud* deferred_ = nullptr;    // taken out while methods were inside (GIL)
    std::mutex released_mutex_;                      // guards released_
    std::condition_variable released_cv_;            // signalled when destroy() is done
    bool released_ = false;                          // destroy() is done
};

#endif  // OSTREL_CLOUD_WRAPPER_H_
