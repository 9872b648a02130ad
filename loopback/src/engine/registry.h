// The registry of instances: Create and Destroy, and the instances alive.
//
// Destroy waits for the instance's running callback, except where waiting could never end: on
// the instance's own event thread, and from a callback of another instance whose event thread
// is itself (through others) waiting for this one. The registry keeps the links of such waits
// and never adds one that would close a cycle.
#ifndef OSTREL_LOOPBACK_ENGINE_REGISTRY_H_
#define OSTREL_LOOPBACK_ENGINE_REGISTRY_H_

#include <string>
#include <vector>

#include "engine/engine.h"

namespace ostrel::loopback::engine {

// A new instance delivering to `delegate` (none when null); null when a test control made
// this Create fail.
InstancePtr create_instance(vonu::VONUCloudDelegate* delegate);
// Leaves the room, stops delivery and waits for the running callback (see above).
void destroy_instance(const InstancePtr& inst);

// The live instances in a room under that user id.
std::vector<InstancePtr> members_named(const EngineLock& lock, const std::string& user_id);

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_REGISTRY_H_
