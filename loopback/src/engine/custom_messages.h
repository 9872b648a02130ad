// Custom command messages: the sender's one-second rate window, sequence numbers per command
// id, and messages lost on the way (a test control), reported to receivers before the next
// delivered message of that id.
#ifndef OSTREL_LOOPBACK_ENGINE_CUSTOM_MESSAGES_H_
#define OSTREL_LOOPBACK_ENGINE_CUSTOM_MESSAGES_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/engine.h"

namespace ostrel::loopback::engine {

constexpr uint32_t kMinCmdId = 1;
constexpr uint32_t kMaxCmdId = 10;
constexpr size_t kMaxCmdBytes = 1000;
constexpr size_t kMaxCmdPerSecond = 30;
constexpr size_t kMaxCmdBytesPerSecond = 8192;

// error_code of OnMissCustomCmdMsg: the messages were lost in transit.
constexpr uint32_t kMissLost = 1;

// SendCustomCmdMsg; delivery inside the process is always reliable and ordered.
bool send_custom_cmd(const InstancePtr& inst, uint32_t cmd_id, const char* message, size_t length);
// The next `count` messages of the members entered as `user_id` are lost; returns how many
// instances that reached.
int drop_messages(const std::string& user_id, uint32_t count);

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_CUSTOM_MESSAGES_H_
