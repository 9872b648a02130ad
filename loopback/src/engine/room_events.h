// Events that several room features post.
#ifndef OSTREL_LOOPBACK_ENGINE_ROOM_EVENTS_H_
#define OSTREL_LOOPBACK_ENGINE_ROOM_EVENTS_H_

#include <string>

#include "events/event.h"
#include "vonu/ostrel_vonu_cloud.h"

namespace ostrel::loopback::engine {

using events::make_event;
using events::make_media_event;
using Delegate = vonu::VONUCloudDelegate;

inline vonu::UserInfo user_info(const std::string& id) { return vonu::UserInfo{vonu::VonuString(id.c_str())}; }

inline events::Event state_change(vonu::ConnectionState from, vonu::ConnectionState to) {
    return make_event("OnConnectionStateChanged",
                      [from, to](vonu::VONUCloudDelegate& d) { d.OnConnectionStateChanged(from, to); });
}

inline events::Event error_event(vonu::Error code) {
    return make_event("OnError", [code](vonu::VONUCloudDelegate& d) { d.OnError(code); });
}

// OnRemoteAudioAvailable / OnRemoteVideoAvailable of member `id`.
inline events::Event audio_available(const std::string& id, bool on) {
    return make_event("OnRemoteAudioAvailable",
                      [id, on](vonu::VONUCloudDelegate& d) { d.OnRemoteAudioAvailable(id.c_str(), on); });
}
inline events::Event video_available(const std::string& id, bool on, vonu::StreamType type) {
    return make_event("OnRemoteVideoAvailable",
                      [id, on, type](vonu::VONUCloudDelegate& d) { d.OnRemoteVideoAvailable(id.c_str(), on, type); });
}
inline events::Event key_frame_request(vonu::StreamType type) {
    return make_event("OnRequestKeyFrame", [type](vonu::VONUCloudDelegate& d) { d.OnRequestKeyFrame(type); });
}

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_ROOM_EVENTS_H_
