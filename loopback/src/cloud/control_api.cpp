// C interface of the room simulation's test controls, used by the Python module
// ostrel_loopback (through ctypes) and by native tests.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "cloud/event_queue.h"
#include "control_api.h"
#include "cloud/room.h"
#include "logger.h"
#include "record_access.h"
#include "recorder.h"

using namespace ostrel::vonu;
namespace cloud = ostrel::loopback::cloud;

namespace {

enum ArgKind : int32_t {
    kNull = 0,     // None: a null pointer
    kInteger = 1,  // an int (enumerations, flags and counts too)
    kBytes = 2,    // bytes: a user id, a payload
    kPair = 3,     // (user id bytes or None in data, quality in integer)
    kList = 4,     // a list of pairs
};

using Args = std::vector<const ostrel_loopback_arg*>;

// A user id as given: null, or bytes (cut at the first NUL when handed over as C text).
struct Text {
    bool null = true;
    std::string value;
    const char* c() const { return null ? nullptr : value.c_str(); }
};

bool text_arg(const ostrel_loopback_arg* a, Text& out) {
    if (a->kind == kNull) {
        out.null = true;
        return true;
    }
    if (a->kind != kBytes || (a->data == nullptr && a->size != 0)) return false;
    out.null = false;
    out.value.assign(a->data ? a->data : "", a->size);
    return true;
}

// The integer type behind T: T itself, or an enumeration's underlying type.
template <typename T, bool = std::is_enum<T>::value>
struct Underlying {
    using type = T;
};
template <typename T>
struct Underlying<T, true> {
    using type = std::underlying_type_t<T>;
};

template <typename T>
bool int_arg(const ostrel_loopback_arg* a, T& out) {
    if (a->kind != kInteger) return false;
    // Enumerations take any value of their underlying type.
    using Wide = typename Underlying<T>::type;
    if (a->integer < static_cast<int64_t>(std::numeric_limits<Wide>::min()) ||
        (a->integer > 0 && static_cast<uint64_t>(a->integer) > static_cast<uint64_t>(std::numeric_limits<Wide>::max())))
        return false;
    out = static_cast<T>(static_cast<Wide>(a->integer));
    return true;
}

bool bool_arg(const ostrel_loopback_arg* a, bool& out) {
    if (a->kind != kInteger) return false;
    out = a->integer != 0;
    return true;
}

// A payload: bytes, or None for a null pointer.
bool bytes_arg(const ostrel_loopback_arg* a, std::shared_ptr<std::vector<uint8_t>>& out, bool& null) {
    null = a->kind == kNull;
    if (null) {
        out = std::make_shared<std::vector<uint8_t>>();
        return true;
    }
    if (a->kind != kBytes || (a->data == nullptr && a->size != 0)) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(a->data);
    out = std::make_shared<std::vector<uint8_t>>(p, p + a->size);
    return true;
}

bool quality_arg(const ostrel_loopback_arg* a, NetworkQualityInfo& out) {
    if (a->kind != kPair) return false;
    NetworkQuality q;
    ostrel_loopback_arg n{kInteger, a->integer, nullptr, 0, nullptr, 0};
    if (!int_arg(&n, q)) return false;
    ostrel::loopback::recorder::Mute mute;
    if (a->data == nullptr) {
        out.user_id = static_cast<const char*>(nullptr);
    } else {
        out.user_id = std::string(a->data, a->size).c_str();
    }
    out.quality = q;
    return true;
}

template <typename Frame>
std::shared_ptr<const Frame> frame_with(const std::shared_ptr<std::vector<uint8_t>>& payload) {
    auto frame = std::make_shared<Frame>();
    ostrel::loopback::set_payload(*frame, payload->data(), payload->size());
    return frame;
}

using Builder = std::function<bool(const Args&, cloud::Event&)>;

struct Spec {
    size_t count;
    Builder build;
};

const std::map<std::string, Spec>& builders() {
    using D = VONUCloudDelegate;
    static const std::map<std::string, Spec> table = {
        {"OnError",
         {1, [](const Args& a, cloud::Event& e) -> bool {
             Error v;
             if (!int_arg(a[0], v)) return false;
             e.deliver = [v](D& d) { d.OnError(v); };
             return true;
         }}},
        {"OnConnectionStateChanged",
         {2, [](const Args& a, cloud::Event& e) -> bool {
             ConnectionState from, to;
             if (!int_arg(a[0], from) || !int_arg(a[1], to)) return false;
             e.deliver = [from, to](D& d) { d.OnConnectionStateChanged(from, to); };
             return true;
         }}},
        {"OnEnterRoom",
         {0, [](const Args& a, cloud::Event& e) -> bool {
             (void)a;
             e.deliver = [](D& d) { d.OnEnterRoom(); };
             return true;
         }}},
        {"OnExitRoom",
         {0, [](const Args& a, cloud::Event& e) -> bool {
             (void)a;
             e.deliver = [](D& d) { d.OnExitRoom(); };
             return true;
         }}},
        {"OnLocalAudioChannelCreated",
         {0, [](const Args& a, cloud::Event& e) -> bool {
             (void)a;
             e.deliver = [](D& d) { d.OnLocalAudioChannelCreated(); };
             return true;
         }}},
        {"OnLocalAudioChannelDestroyed",
         {0, [](const Args& a, cloud::Event& e) -> bool {
             (void)a;
             e.deliver = [](D& d) { d.OnLocalAudioChannelDestroyed(); };
             return true;
         }}},
        {"OnLocalVideoChannelCreated",
         {1, [](const Args& a, cloud::Event& e) -> bool {
             StreamType t;
             if (!int_arg(a[0], t)) return false;
             e.deliver = [t](D& d) { d.OnLocalVideoChannelCreated(t); };
             return true;
         }}},
        {"OnLocalVideoChannelDestroyed",
         {1, [](const Args& a, cloud::Event& e) -> bool {
             StreamType t;
             if (!int_arg(a[0], t)) return false;
             e.deliver = [t](D& d) { d.OnLocalVideoChannelDestroyed(t); };
             return true;
         }}},
        {"OnRequestChangeVideoEncodeBitrate",
         {2, [](const Args& a, cloud::Event& e) -> bool {
             StreamType t;
             int bitrate;
             if (!int_arg(a[0], t) || !int_arg(a[1], bitrate)) return false;
             e.deliver = [t, bitrate](D& d) { d.OnRequestChangeVideoEncodeBitrate(t, bitrate); };
             return true;
         }}},
        {"OnRequestKeyFrame",
         {1, [](const Args& a, cloud::Event& e) -> bool {
             StreamType t;
             if (!int_arg(a[0], t)) return false;
             e.deliver = [t](D& d) { d.OnRequestKeyFrame(t); };
             return true;
         }}},
        {"OnRemoteUserEnterRoom",
         {1, [](const Args& a, cloud::Event& e) -> bool {
             Text id;
             if (!text_arg(a[0], id)) return false;
             e.deliver = [id](D& d) {
                 UserInfo info{VonuString(id.c())};
                 d.OnRemoteUserEnterRoom(info);
             };
             return true;
         }}},
        {"OnRemoteUserExitRoom",
         {2, [](const Args& a, cloud::Event& e) -> bool {
             Text id;
             int reason;
             if (!text_arg(a[0], id) || !int_arg(a[1], reason)) return false;
             e.deliver = [id, reason](D& d) {
                 UserInfo info{VonuString(id.c())};
                 d.OnRemoteUserExitRoom(info, reason);
             };
             return true;
         }}},
        {"OnRemoteAudioAvailable",
         {2, [](const Args& a, cloud::Event& e) -> bool {
             Text id;
             bool on;
             if (!text_arg(a[0], id) || !bool_arg(a[1], on)) return false;
             e.deliver = [id, on](D& d) { d.OnRemoteAudioAvailable(id.c(), on); };
             return true;
         }}},
        {"OnRemoteVideoAvailable",
         {3, [](const Args& a, cloud::Event& e) -> bool {
             Text id;
             bool on;
             StreamType t;
             if (!text_arg(a[0], id) || !bool_arg(a[1], on) || !int_arg(a[2], t)) return false;
             e.deliver = [id, on, t](D& d) { d.OnRemoteVideoAvailable(id.c(), on, t); };
             return true;
         }}},
        {"OnRemoteVideoFrameReceived",
         {3, [](const Args& a, cloud::Event& e) -> bool {
             Text id;
             StreamType t;
             std::shared_ptr<std::vector<uint8_t>> payload;
             bool null;
             if (!text_arg(a[0], id) || !int_arg(a[1], t) || !bytes_arg(a[2], payload, null)) return false;
             auto frame = frame_with<VideoFrame>(payload);
             e.media = true;
             e.bytes = payload->size();
             e.deliver = [id, t, frame](D& d) { d.OnRemoteVideoReceived(id.c(), t, *frame); };
             return true;
         }}},
        {"OnRemotePixelFrameReceived",
         {3, [](const Args& a, cloud::Event& e) -> bool {
             Text id;
             StreamType t;
             std::shared_ptr<std::vector<uint8_t>> payload;
             bool null;
             if (!text_arg(a[0], id) || !int_arg(a[1], t) || !bytes_arg(a[2], payload, null)) return false;
             auto frame = frame_with<PixelFrame>(payload);
             e.media = true;
             e.bytes = payload->size();
             e.deliver = [id, t, frame](D& d) { d.OnRemoteVideoReceived(id.c(), t, *frame); };
             return true;
         }}},
        {"OnRemoteAudioReceived",
         {2, [](const Args& a, cloud::Event& e) -> bool {
             Text id;
             std::shared_ptr<std::vector<uint8_t>> payload;
             bool null;
             if (!text_arg(a[0], id) || !bytes_arg(a[1], payload, null)) return false;
             auto frame = frame_with<AudioFrame>(payload);
             e.media = true;
             e.bytes = payload->size();
             e.deliver = [id, frame](D& d) { d.OnRemoteAudioReceived(id.c(), *frame); };
             return true;
         }}},
        {"OnRemoteMixedAudioReceived",
         {1, [](const Args& a, cloud::Event& e) -> bool {
             std::shared_ptr<std::vector<uint8_t>> payload;
             bool null;
             if (!bytes_arg(a[0], payload, null)) return false;
             auto frame = frame_with<AudioFrame>(payload);
             e.media = true;
             e.bytes = payload->size();
             e.deliver = [frame](D& d) { d.OnRemoteMixedAudioReceived(*frame); };
             return true;
         }}},
        {"OnSeiMessageReceived",
         {4, [](const Args& a, cloud::Event& e) -> bool {
             Text id;
             StreamType t;
             int type;
             std::shared_ptr<std::vector<uint8_t>> msg;
             bool null;
             if (!text_arg(a[0], id) || !int_arg(a[1], t) || !int_arg(a[2], type) || !bytes_arg(a[3], msg, null))
                 return false;
             e.deliver = [id, t, type, msg, null](D& d) {
                 d.OnSeiMessageReceived(id.c(), t, type, null ? nullptr : reinterpret_cast<const char*>(msg->data()),
                                        msg->size());
             };
             return true;
         }}},
        {"OnReceiveCustomCmdMsg",
         {4, [](const Args& a, cloud::Event& e) -> bool {
             Text id;
             int32_t cmd;
             uint32_t seq;
             std::shared_ptr<std::vector<uint8_t>> msg;
             bool null;
             if (!text_arg(a[0], id) || !int_arg(a[1], cmd) || !int_arg(a[2], seq) || !bytes_arg(a[3], msg, null))
                 return false;
             e.deliver = [id, cmd, seq, msg, null](D& d) {
                 d.OnReceiveCustomCmdMsg(id.c(), cmd, seq, null ? nullptr : reinterpret_cast<const char*>(msg->data()),
                                         msg->size());
             };
             return true;
         }}},
        {"OnMissCustomCmdMsg",
         {4, [](const Args& a, cloud::Event& e) -> bool {
             Text id;
             int32_t cmd;
             uint32_t code, missed;
             if (!text_arg(a[0], id) || !int_arg(a[1], cmd) || !int_arg(a[2], code) || !int_arg(a[3], missed)) return false;
             e.deliver = [id, cmd, code, missed](D& d) { d.OnMissCustomCmdMsg(id.c(), cmd, code, missed); };
             return true;
         }}},
        {"OnNetworkQuality",
         {2, [](const Args& a, cloud::Event& e) -> bool {
             bool has_local = a[0]->kind != kNull;
             std::vector<NetworkQualityInfo> list(1);
             if (has_local && !quality_arg(a[0], list[0])) return false;
             if (a[1]->kind != kList || (a[1]->items == nullptr && a[1]->count != 0)) return false;
             for (size_t i = 0; i < a[1]->count; ++i) {
                 list.emplace_back();
                 if (!quality_arg(&a[1]->items[i], list.back())) return false;
             }
             e.deliver = [list, has_local](D& d) mutable {
                 d.OnNetworkQuality(has_local ? &list[0] : nullptr, list.size() > 1 ? &list[1] : nullptr, list.size() - 1);
             };
             return true;
         }}},
    };
    return table;
}

std::string text(const char* s) { return s ? std::string(s) : std::string(); }

}  // namespace

extern "C" {

// True once every event queued before the call has been delivered, false on timeout.
OSTREL_EXPORT int ostrel_loopback_wait_idle(double timeout_seconds) {
    return cloud::World::get().wait_idle(timeout_seconds) ? 1 : 0;
}

// These return the number of instances reached (members named by the user id they entered
// with), or -1 for an invalid argument.
OSTREL_EXPORT int ostrel_loopback_set_network_quality(const char* user_id, int quality) {
    return cloud::World::get().set_network_quality(text(user_id), quality);
}

OSTREL_EXPORT void ostrel_loopback_set_quality_interval(int ms) { cloud::World::get().set_quality_interval(ms); }

OSTREL_EXPORT int ostrel_loopback_drop_messages(const char* user_id, uint32_t count) {
    return cloud::World::get().drop_messages(text(user_id), count);
}

OSTREL_EXPORT int ostrel_loopback_disconnect(const char* user_id, int ms) {
    return cloud::World::get().disconnect(text(user_id), ms);
}

OSTREL_EXPORT int ostrel_loopback_raise_error(const char* user_id, int code) {
    return cloud::World::get().raise_error(text(user_id), code);
}

OSTREL_EXPORT int ostrel_loopback_kick(const char* user_id, int reason) {
    return cloud::World::get().kick(text(user_id), reason);
}

// Delivers one callback, named as in the delegate interface (the two video overloads as
// OnRemoteVideoFrameReceived and OnRemotePixelFrameReceived), to the members entered with
// `user_id` (user_id_size bytes), or to every live instance when user_id is null. Returns the
// number of instances reached, -1 for an unknown event and -2 for arguments that do not fit it.
OSTREL_EXPORT int ostrel_loopback_inject(const char* user_id, size_t user_id_size, const char* event,
                                         const ostrel_loopback_arg* args, size_t count) {
    if (event == nullptr) return -1;
    const auto& table = builders();
    auto it = table.find(event);
    if (it == table.end()) return -1;
    if (count != it->second.count || (count > 0 && args == nullptr)) return -2;
    Args a;
    for (size_t i = 0; i < count; ++i) a.push_back(&args[i]);
    cloud::Event e;
    e.name = it->first.c_str();
    if (!it->second.build(a, e)) return -2;
    if (user_id == nullptr) return cloud::World::get().inject(nullptr, e);
    const std::string id(user_id, user_id_size);
    return cloud::World::get().inject(&id, e);
}

OSTREL_EXPORT void ostrel_loopback_fail_next_create() { cloud::World::get().fail_next_create(); }

// The texts of exceptions that left delegate callbacks, oldest first, as a Python literal list
// of bytes; release with ostrel_loopback_free.
OSTREL_EXPORT char* ostrel_loopback_escaped() {
    std::string out = "[";
    for (const std::string& t : cloud::escaped()) {
        out += ostrel::loopback::recorder::bytes_literal(t.data(), t.size());
        out += ", ";
    }
    out += "]";
    return ostrel::loopback::malloc_text(out);
}

OSTREL_EXPORT void ostrel_loopback_clear_escaped() { cloud::clear_escaped(); }

OSTREL_EXPORT int ostrel_loopback_live_instances() { return cloud::World::get().live_instances(); }

OSTREL_EXPORT int ostrel_loopback_sdk_threads() { return cloud::sdk_threads(); }

// How many delegate callbacks, process-wide, are between their call and their return right now.
// Lock-free, so a caller may spin on it.
OSTREL_EXPORT int ostrel_loopback_callbacks_running() { return cloud::callbacks_running(); }

OSTREL_EXPORT unsigned long long ostrel_loopback_dropped() {
    return static_cast<unsigned long long>(cloud::World::get().dropped());
}

}  // extern "C"
