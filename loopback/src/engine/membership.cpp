#include "engine/membership.h"

#include <algorithm>
#include <string>
#include <vector>

#include "engine/audio_receive.h"
#include "engine/audio_send.h"
#include "engine/network_quality.h"
#include "engine/room_events.h"
#include "engine/video.h"
#include "logger.h"
#include "record_access.h"
#include "utf8.h"

namespace ostrel::loopback::engine {

using namespace ostrel::vonu;

namespace {

std::string room_key(uint32_t app_id, uint32_t room_id, const char* str_room_id) {
    std::string key = std::to_string(app_id);
    if (str_room_id != nullptr && *str_room_id != '\0') {
        key += "/s/";
        key += str_room_id;
    } else {
        key += "/n/";
        key += std::to_string(room_id);
    }
    return key;
}

int validate_enter(const EnterRoomParams& params) {
    const RoomParams& r = params.room;
    if (r.sdk_app_id == 0) return ERR_INVALID_SDK_APP_ID;
    const char* user_id = text_of(r.user_id);
    if (user_id == nullptr || *user_id == '\0' || !valid_utf8(user_id)) return ERR_INVALID_USER_ID;
    const char* str_room_id = text_of(r.str_room_id);
    if ((str_room_id == nullptr || *str_room_id == '\0') && r.room_id == 0) return ERR_INVALID_ROOM_ID;
    const char* user_sig = text_of(r.user_sig);
    if (user_sig == nullptr || *user_sig == '\0') return ERR_INVALID_USER_SIG;
    if (params.role != VONU_ROLE_ANCHOR && params.role != VONU_ROLE_AUDIENCE) return ERR_INVALID_PARAMETER;
    return validate_obtain(params.audio_obtain_params);
}

// Tells `to` about an anchor `member`: that it is there, and its channels.
void announce(InstanceState& to, const InstanceState& member) {
    if (!member.anchor()) return;
    const std::string id = member.session.user_id;
    to.post(
        make_event("OnRemoteUserEnterRoom", [info = user_info(id)](Delegate& d) { d.OnRemoteUserEnterRoom(info); }));
    if (member.session.audio_out.channel) to.post(audio_available(id, true));
    for (int i = 0; i < kVideoStreams; ++i) {
        if (member.session.video.channel[i]) to.post(video_available(id, true, video_type(i)));
    }
}

}  // namespace

int enter_room(const InstancePtr& inst, const EnterRoomParams& params) {
    const int check = validate_enter(params);
    if (check != ERR_OK) return check;
    const RoomParams& r = params.room;
    const std::string id(text_of(r.user_id));
    const std::string key = room_key(r.sdk_app_id, r.room_id, text_of(r.str_room_id));

    Engine& engine = Engine::get();
    EngineLock lock = engine.lock();
    if (inst->destroyed || inst->in_room()) return ERR_INVALID_OPERATION;
    auto& rooms = engine.rooms(lock);
    std::shared_ptr<Room>& slot = rooms[key];
    if (!slot) {
        slot = std::make_shared<Room>();
        slot->key = key;
    }
    std::shared_ptr<Room> room = slot;

    // The same user id from another instance: the newcomer replaces it.
    for (const InstancePtr& old : std::vector<InstancePtr>(room->members)) {
        if (old->session.user_id != id) continue;
        OSTREL_LOG(kInfo, "user '%s' entered room %s again from another instance; the older one leaves", id.c_str(),
                   key.c_str());
        old->post(error_event(ERR_INVALID_USER_ID));
        leave(lock, *old, kExitReplaced, true);
    }
    // leave() drops an emptied room from the registry; this one is about to be used again.
    rooms[key] = room;

    InstanceState& c = *inst;
    Session& s = c.session;
    s.room = room;
    s.stay = engine.take_stay(lock);
    s.user_id = id;
    s.role = params.role;
    s.obtain = params.audio_obtain_params;
    s.pixel_input = params.use_pixel_frame_input;
    s.pixel_output = params.use_pixel_frame_output;

    c.post(state_change(c.connection, CONNECTION_STATE_CONNECTING));
    c.post(state_change(CONNECTION_STATE_CONNECTING, CONNECTION_STATE_CONNECTED));
    c.connection = CONNECTION_STATE_CONNECTED;
    c.post(make_event("OnEnterRoom", [](Delegate& d) { d.OnEnterRoom(); }));
    for (const InstancePtr& m : room->members) {
        announce(c, *m);
        if (c.anchor()) announce(*m, c);
    }
    room->members.push_back(inst);
    ensure_quality_reports(lock);
    OSTREL_LOG(kInfo, "user '%s' entered room %s as %s", id.c_str(), key.c_str(), c.anchor() ? "anchor" : "audience");
    return ERR_OK;
}

void leave(const EngineLock& lock, InstanceState& inst, int reason, bool notify_self) {
    std::shared_ptr<Room> room = inst.session.room;
    end_audio_channel(lock, inst, notify_self);
    end_video_channels(lock, inst, notify_self);
    auto& members = room->members;
    members.erase(
        std::remove_if(members.begin(), members.end(), [&inst](const InstancePtr& m) { return m.get() == &inst; }),
        members.end());
    const std::string id = inst.session.user_id;
    for (const InstancePtr& m : members) {
        forget_sender(lock, *m, id);
        if (!inst.anchor()) continue;
        m->post(make_event("OnRemoteUserExitRoom",
                           [info = user_info(id), reason](Delegate& d) { d.OnRemoteUserExitRoom(info, reason); }));
    }
    if (notify_self) {
        inst.post(state_change(inst.connection, CONNECTION_STATE_DISCONNECTED));
        inst.post(make_event("OnExitRoom", [](Delegate& d) { d.OnExitRoom(); }));
    }
    inst.connection = CONNECTION_STATE_DISCONNECTED;
    inst.end_session();
    // The senders this member received from may have converted for it alone.
    for (const InstancePtr& m : members) {
        for (int i = 0; i < kVideoStreams; ++i) release_unneeded_codecs(lock, m, i);
    }
    if (members.empty()) {
        auto& rooms = Engine::get().rooms(lock);
        auto it = rooms.find(room->key);
        if (it != rooms.end() && it->second == room) rooms.erase(it);
    }
    OSTREL_LOG(kInfo, "user '%s' left room %s (reason %d)", id.c_str(), room->key.c_str(), reason);
}

int exit_room(const InstancePtr& inst) {
    std::vector<events::SendWorker> workers;
    {
        EngineLock lock = Engine::get().lock();
        if (!inst->in_room()) return ERR_INVALID_OPERATION;
        workers = take_send_workers(lock, *inst);
        leave(lock, *inst, kExitLeft, true);
    }
    join_send_workers(workers);
    return ERR_OK;
}

std::vector<events::SendWorker> take_send_workers(const EngineLock& lock, InstanceState& inst) {
    (void)lock;
    std::vector<events::SendWorker> workers;
    inst.session.for_each_worker([&workers](events::SendWorker& w) {
        if (w) workers.push_back(std::move(w));
    });
    return workers;
}

void join_send_workers(std::vector<events::SendWorker>& workers) {
    for (events::SendWorker& w : workers) w.join();
    workers.clear();
}

int subscribe(const InstancePtr& inst, const char* user_id, StreamType type, bool on) {
    EngineLock lock = Engine::get().lock();
    if (!inst->in_room()) return ERR_INVALID_OPERATION;
    if (user_id == nullptr || *user_id == '\0' || !valid_utf8(user_id)) return ERR_INVALID_PARAMETER;
    const std::string id(user_id);
    Session& s = inst->session;
    if (type == STREAM_TYPE_AUDIO) {
        if (on) {
            s.audio_in.unsubscribed.erase(id);
        } else {
            s.audio_in.unsubscribed.insert(id);
            forget_sender(lock, *inst, id);
        }
        return ERR_OK;
    }
    const int index = video_index(type);
    if (index < 0) return ERR_INVALID_PARAMETER;
    if (!on) {
        s.video.subscriptions.erase({id, type});
        for (const InstancePtr& m : s.room->members) {
            if (m->session.user_id == id) release_unneeded_codecs(lock, m, index);
        }
        return ERR_OK;
    }
    if (!s.video.subscriptions.insert({id, type}).second) return ERR_OK;
    // A new subscriber needs a key frame to start decoding: the sender is asked for one, and an
    // encoder the SDK runs for the stream makes its next frame one.
    for (const InstancePtr& m : s.room->members) {
        if (m->session.user_id != id || !m->session.video.channel[index]) continue;
        m->post(key_frame_request(type));
        m->session.video.streams[index].key_frame_due = true;
    }
    return ERR_OK;
}

}  // namespace ostrel::loopback::engine
