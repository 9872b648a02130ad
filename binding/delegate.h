// PyVONUCloudDelegate: the SDK's event interface implemented by forwarding each event, under the
// GIL and from the SDK's own threads, to the Python method that the delegate event table
// (delegate_events.h) names for it: the SDK's name, except for the two OnRemoteVideoReceived
// overloads, which are OnRemoteVideoFrameReceived and OnRemotePixelFrameReceived in Python.
#ifndef OSTREL_DELEGATE_H_
#define OSTREL_DELEGATE_H_

#include <pybind11/pybind11.h>

#include "callback_gate.h"
#include "delegate_object.h"
#include "delegate_events.h"
#include "vonu/ostrel_vonu_cloud.h"

// Lives in the global namespace: Python signatures that mention it show its native name. It has
// no state of its own but the exit gate's count of its callbacks; the Python object it serves is
// found through pybind11's registry.
class PyVONUCloudDelegate : public ostrel::vonu::VONUCloudDelegate {
public:
    ~PyVONUCloudDelegate() override {}

#define OSTREL_DECLARE_OVERRIDE(member, python_name, policy, parameters, python_arguments) \
    void member parameters override;
    OSTREL_DELEGATE_EVENTS(OSTREL_DECLARE_OVERRIDE)
#undef OSTREL_DECLARE_OVERRIDE

    mutable ostrel_binding::CallbacksInside callbacks_inside;  // its callbacks inside the exit gate
    mutable ostrel_binding::DelegateObjectLink python_object;  // finds its Python object (GIL held)
};

#endif  // OSTREL_DELEGATE_H_
