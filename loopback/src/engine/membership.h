// Membership of rooms: entering (a user id entering again replaces its older instance),
// leaving, announcing members to each other, and subscriptions to remote streams.
#ifndef OSTREL_LOOPBACK_ENGINE_MEMBERSHIP_H_
#define OSTREL_LOOPBACK_ENGINE_MEMBERSHIP_H_

#include <vector>

#include "engine/engine.h"
#include "events/send_worker.h"

namespace ostrel::loopback::engine {

// Reasons given to OnRemoteUserExitRoom.
constexpr int kExitLeft = 0;      // ExitRoom or Destroy
constexpr int kExitReplaced = 3;  // the same user id entered from another instance

// Results as the VONUCloud operations return them.
int enter_room(const InstancePtr& inst, const vonu::EnterRoomParams& params);
int exit_room(const InstancePtr& inst);
int subscribe(const InstancePtr& inst, const char* user_id, vonu::StreamType type, bool on);

// Takes the member out of its room: its channels end, the others hear that it left, and its
// session ends. `notify_self` also tells the member itself (OnExitRoom).
void leave(const EngineLock& lock, InstanceState& inst, int reason, bool notify_self);

// Leaving by the member's own call (ExitRoom, Destroy) joins its send workers: they are taken
// out of its stay under the lock, before leave(), and joined once the lock is released (a
// worker's last job may be waiting for it). Elsewhere a stay that ends hands its workers'
// threads to the service thread's reaper.
std::vector<events::SendWorker> take_send_workers(const EngineLock& lock, InstanceState& inst);
void join_send_workers(std::vector<events::SendWorker>& workers);

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_MEMBERSHIP_H_
