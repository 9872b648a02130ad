// Simulated network quality: the periodic OnNetworkQuality reports of every room, and a
// member's quality, whose change asks it to adapt its video bitrate.
#ifndef OSTREL_LOOPBACK_ENGINE_NETWORK_QUALITY_H_
#define OSTREL_LOOPBACK_ENGINE_NETWORK_QUALITY_H_

#include <string>

#include "engine/engine.h"

namespace ostrel::loopback::engine {

// Starts the report cycle if there are rooms and it is not running.
void ensure_quality_reports(const EngineLock& lock);
// Report interval in ms; 0 stops the reports, others are raised to at least 10.
void set_quality_interval(int ms);
// The report interval in force: 0 when the reports are stopped.
int quality_interval();
// Sets the quality of the members entered as `user_id`; returns how many instances that
// reached, or -1 for a value that is not a NetworkQuality.
int set_network_quality(const std::string& user_id, int quality);

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_NETWORK_QUALITY_H_
