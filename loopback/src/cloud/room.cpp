#include "cloud/room.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "cloud/service_thread.h"
#include "logger.h"
#include "record_access.h"
#include "recorder.h"

namespace ostrel {
namespace loopback {
namespace cloud {

using namespace ostrel::vonu;
using Delegate = VONUCloudDelegate;

namespace {

template <typename F>
Event event(const char* name, F&& deliver) {
    Event e;
    e.name = name;
    e.deliver = std::forward<F>(deliver);
    return e;
}

template <typename F>
Event media_event(const char* name, size_t bytes, F&& deliver) {
    Event e = event(name, std::forward<F>(deliver));
    e.media = true;
    e.bytes = bytes;
    return e;
}

UserInfo user_info(const std::string& id) { return UserInfo{VonuString(id.c_str())}; }

Event state_change(ConnectionState from, ConnectionState to) {
    return event("OnConnectionStateChanged", [from, to](Delegate& d) { d.OnConnectionStateChanged(from, to); });
}

Event error_event(Error code) {
    return event("OnError", [code](Delegate& d) { d.OnError(code); });
}

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

// Bytes in one pixel frame of that format and size; 0 for an unknown format.
size_t pixel_bytes(VideoPixelFormat format, uint32_t width, uint32_t height) {
    const size_t w = width;
    const size_t h = height;
    const size_t chroma = ((w + 1) / 2) * ((h + 1) / 2);
    switch (format) {
        case VIDEO_PIXEL_FORMAT_YUV420p:
            return w * h + 2 * chroma;
        case VIDEO_PIXEL_FORMAT_YUVA420p:
            return 2 * w * h + 2 * chroma;
        case VIDEO_PIXEL_FORMAT_RGBA:
            return 4 * w * h;
    }
    return 0;
}

constexpr uint32_t kMaxPixelDimension = 16384;

int default_bitrate(int index) {
    static const int kDefaults[kVideoStreams] = {1200000, 300000, 800000};
    return kDefaults[index];
}

// Share of the configured bitrate a sender is asked to use at each network quality.
double quality_factor(NetworkQuality quality) {
    switch (quality) {
        case NETWORK_QUALITY_UNKNOWN:
        case NETWORK_QUALITY_EXCELLENT:
            return 1.0;
        case NETWORK_QUALITY_GOOD:
            return 0.8;
        case NETWORK_QUALITY_POOR:
            return 0.5;
        case NETWORK_QUALITY_BAD:
            return 0.3;
        case NETWORK_QUALITY_VERY_BAD:
            return 0.15;
        case NETWORK_QUALITY_DOWN:
            return 0.0;
    }
    return 1.0;
}

std::vector<int16_t> pcm_of(const std::vector<uint8_t>& payload) {
    std::vector<int16_t> samples(payload.size() / 2);
    if (!samples.empty()) std::memcpy(samples.data(), payload.data(), samples.size() * 2);
    return samples;
}

void fill_audio_frame(AudioFrame& frame, const PcmFrame& pcm, const AudioObtainParams& obtain) {
    frame.sample_rate = obtain.output_sample_rate;
    frame.channels = obtain.output_channels;
    frame.bits_per_sample = 16;
    frame.codec = AUDIO_CODEC_TYPE_PCM;
    frame.pts = pcm.pts;
    frame.has_voice = pcm.has_voice;
    set_payload(frame, reinterpret_cast<const uint8_t*>(pcm.samples.data()), pcm.samples.size() * 2);
}

}  // namespace

int video_index(StreamType type) {
    switch (type) {
        case STREAM_TYPE_VIDEO_HIGH:
            return 0;
        case STREAM_TYPE_VIDEO_LOW:
            return 1;
        case STREAM_TYPE_VIDEO_AUX:
            return 2;
        default:
            return -1;
    }
}

StreamType video_type(int index) {
    static const StreamType kTypes[kVideoStreams] = {STREAM_TYPE_VIDEO_HIGH, STREAM_TYPE_VIDEO_LOW,
                                                     STREAM_TYPE_VIDEO_AUX};
    return kTypes[index];
}

namespace {
ProcessLocal<World> g_world;
}  // namespace

World& World::get() { return g_world.get(); }

void World::forget_in_child() {
    // The report interval is a setting of the simulation, not part of a room: the child keeps it.
    const World* parent = g_world.forget_in_child();
    if (parent != nullptr) g_world.get().quality_interval_ms_ = parent->quality_interval_ms_;
}

World::World() = default;

// ---- Instances ----

std::shared_ptr<Core> World::create(Delegate* delegate) {
    recorder::Mute mute;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fail_next_create_) {
            fail_next_create_ = false;
            OSTREL_LOG(kInfo, "Create failed on request of the control interface");
            return nullptr;
        }
    }
    Service::get();  // the service thread runs from the first instance on
    auto core = std::make_shared<Core>();
    std::lock_guard<std::mutex> lock(mutex_);
    core->id = next_id_++;
    if (delegate != nullptr) core->loop = EventLoop::start(delegate, core->id);
    live_.push_back(core);
    OSTREL_LOG(kDebug, "instance %llu created%s", static_cast<unsigned long long>(core->id),
               delegate ? "" : " without a delegate");
    return core;
}

void World::destroy(const std::shared_ptr<Core>& core) {
    recorder::Mute mute;
    std::shared_ptr<EventLoop> loop;
    // The instance whose callback is running on this thread, if any.
    const EventLoop* caller = EventLoop::current();
    bool linked = false;
    bool cycle = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (core->destroyed) return;
        core->destroyed = true;
        if (core->in_room()) leave(*core, kExitLeft, false);
        core->continuous.clear();
        ++core->pacer_generation;
        ++core->disconnect_generation;
        live_.erase(std::remove(live_.begin(), live_.end(), core), live_.end());
        loop = core->loop;
        if (loop) {
            if (caller != nullptr && caller != loop.get()) {
                // Waiting for the target's running callback from inside a callback: if the
                // target's thread is itself (through others) waiting for the caller's, nobody
                // would ever return. Then the target ends the way it would end itself from inside.
                cycle = waits_for(loop.get(), caller);
                if (!cycle) {
                    waiting_for_[caller] = loop.get();
                    linked = true;
                }
            }
            // Stopped under the world mutex, together with the link: whoever sees the link also
            // sees that the target starts no further callback.
            loop->stop(!cycle);
        }
    }
    // Outside the world mutex: waiting for a running callback must not block other instances.
    if (loop) {
        if (cycle) {
            OSTREL_LOG(kDebug, "instance %llu destroyed from a callback it waits for; its thread ends later",
                       static_cast<unsigned long long>(core->id));
        }
        loop->finish();
    }
    if (linked) {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_for_.erase(caller);
    }
    OSTREL_LOG(kDebug, "instance %llu destroyed", static_cast<unsigned long long>(core->id));
}

bool World::waits_for(const EventLoop* from, const EventLoop* target) const {
    for (const EventLoop* at = from; at != nullptr;) {
        if (at == target) return true;
        auto next = waiting_for_.find(at);
        at = next == waiting_for_.end() ? nullptr : next->second;
    }
    return false;
}

// ---- Entering and leaving ----

int World::enter_room(const std::shared_ptr<Core>& core, const EnterRoomParams& params) {
    recorder::Mute mute;
    const RoomParams& r = params.room;
    if (r.sdk_app_id == 0) return ERR_INVALID_SDK_APP_ID;
    const char* user_id = text_of(r.user_id);
    if (user_id == nullptr || *user_id == '\0') return ERR_INVALID_USER_ID;
    const char* str_room_id = text_of(r.str_room_id);
    if ((str_room_id == nullptr || *str_room_id == '\0') && r.room_id == 0) return ERR_INVALID_ROOM_ID;
    const char* user_sig = text_of(r.user_sig);
    if (user_sig == nullptr || *user_sig == '\0') return ERR_INVALID_USER_SIG;
    const AudioObtainParams& obtain = params.audio_obtain_params;
    if (params.role != VONU_ROLE_ANCHOR && params.role != VONU_ROLE_AUDIENCE) return ERR_INVALID_PARAMETER;
    if (obtain.audio_obtain_method != AUDIO_OBTAIN_METHOD_GET &&
        obtain.audio_obtain_method != AUDIO_OBTAIN_METHOD_CALLBACK)
        return ERR_INVALID_PARAMETER;
    if (!valid_sample_rate(obtain.output_sample_rate) || !valid_channels(obtain.output_channels) ||
        !valid_frame_length_ms(obtain.output_frame_length_ms))
        return ERR_INVALID_PARAMETER;
    if (obtain.output_audio_codec_type != AUDIO_CODEC_TYPE_PCM) return ERR_NOT_SUPPORTED;

    const std::string id(user_id);
    const std::string key = room_key(r.sdk_app_id, r.room_id, str_room_id);

    std::lock_guard<std::mutex> lock(mutex_);
    if (core->destroyed) return ERR_INVALID_OPERATION;
    if (core->in_room()) return ERR_INVALID_OPERATION;
    std::shared_ptr<Room>& slot = rooms_[key];
    if (!slot) {
        slot = std::make_shared<Room>();
        slot->key = key;
    }
    std::shared_ptr<Room> room = slot;

    // The same user id from another instance: the newcomer replaces it.
    for (const std::shared_ptr<Core>& old : std::vector<std::shared_ptr<Core>>(room->members)) {
        if (old->user_id != id) continue;
        OSTREL_LOG(kInfo, "user '%s' entered room %s again from another instance; the older one leaves", id.c_str(),
                   key.c_str());
        old->post(error_event(ERR_INVALID_USER_ID));
        leave(*old, kExitReplaced, true);
    }
    // leave() drops an emptied room from the registry; this one is about to be used again.
    rooms_[key] = room;

    Core& c = *core;
    c.room = room;
    c.user_id = id;
    c.role = params.role;
    c.obtain = obtain;
    c.pixel_input = params.use_pixel_frame_input;
    c.pixel_output = params.use_pixel_frame_output;
    c.disconnected = false;
    c.quality = NETWORK_QUALITY_EXCELLENT;

    c.post(state_change(c.connection, CONNECTION_STATE_CONNECTING));
    c.post(state_change(CONNECTION_STATE_CONNECTING, CONNECTION_STATE_CONNECTED));
    c.connection = CONNECTION_STATE_CONNECTED;
    c.post(event("OnEnterRoom", [](Delegate& d) { d.OnEnterRoom(); }));
    for (const std::shared_ptr<Core>& m : room->members) {
        announce(c, *m);
        if (c.anchor()) announce(*m, c);
    }
    room->members.push_back(core);
    ensure_quality_timer();
    OSTREL_LOG(kInfo, "user '%s' entered room %s as %s", id.c_str(), key.c_str(),
               c.anchor() ? "anchor" : "audience");
    return ERR_OK;
}

void World::announce(Core& to, const Core& member) {
    if (!member.anchor()) return;
    const std::string id = member.user_id;
    to.post(event("OnRemoteUserEnterRoom", [info = user_info(id)](Delegate& d) { d.OnRemoteUserEnterRoom(info); }));
    if (member.audio_channel) {
        to.post(event("OnRemoteAudioAvailable", [id](Delegate& d) { d.OnRemoteAudioAvailable(id.c_str(), true); }));
    }
    for (int i = 0; i < kVideoStreams; ++i) {
        if (!member.video_channel[i]) continue;
        const StreamType type = video_type(i);
        to.post(event("OnRemoteVideoAvailable",
                      [id, type](Delegate& d) { d.OnRemoteVideoAvailable(id.c_str(), true, type); }));
    }
}

void World::end_local_channels(Core& core, bool notify_self) {
    const std::string id = core.user_id;
    const auto& members = core.room->members;
    if (core.audio_channel) {
        core.audio_channel = false;
        core.continuous.clear();
        ++core.pacer_generation;
        core.pacer_running = false;
        if (notify_self) {
            core.post(event("OnLocalAudioChannelDestroyed", [](Delegate& d) { d.OnLocalAudioChannelDestroyed(); }));
        }
        for (const std::shared_ptr<Core>& m : members) {
            if (m.get() == &core) continue;
            m->post(event("OnRemoteAudioAvailable", [id](Delegate& d) { d.OnRemoteAudioAvailable(id.c_str(), false); }));
            forget_sender(*m, id);
        }
    }
    for (int i = 0; i < kVideoStreams; ++i) {
        if (!core.video_channel[i]) continue;
        core.video_channel[i] = false;
        const StreamType type = video_type(i);
        if (notify_self) {
            core.post(event("OnLocalVideoChannelDestroyed", [type](Delegate& d) { d.OnLocalVideoChannelDestroyed(type); }));
        }
        for (const std::shared_ptr<Core>& m : members) {
            if (m.get() == &core) continue;
            m->post(event("OnRemoteVideoAvailable",
                          [id, type](Delegate& d) { d.OnRemoteVideoAvailable(id.c_str(), false, type); }));
        }
    }
    core.pending_sei.clear();
}

void World::leave(Core& core, int reason, bool notify_self) {
    std::shared_ptr<Room> room = core.room;
    end_local_channels(core, notify_self);
    auto& members = room->members;
    members.erase(std::remove_if(members.begin(), members.end(),
                                 [&core](const std::shared_ptr<Core>& m) { return m.get() == &core; }),
                  members.end());
    const std::string id = core.user_id;
    for (const std::shared_ptr<Core>& m : members) {
        forget_sender(*m, id);
        if (!core.anchor()) continue;
        m->post(event("OnRemoteUserExitRoom",
                      [info = user_info(id), reason](Delegate& d) { d.OnRemoteUserExitRoom(info, reason); }));
    }
    if (notify_self) {
        core.post(state_change(core.connection, CONNECTION_STATE_DISCONNECTED));
        core.post(event("OnExitRoom", [](Delegate& d) { d.OnExitRoom(); }));
    }
    core.connection = CONNECTION_STATE_DISCONNECTED;
    core.room = nullptr;
    core.disconnected = false;
    ++core.disconnect_generation;
    core.video_subscriptions.clear();
    core.audio_unsubscribed.clear();
    core.streams.clear();
    core.mix.clear();
    core.get_queue.clear();
    core.sent_window.clear();
    core.cmd_seq.clear();
    core.cmd_lost.clear();
    core.drop_next = 0;
    core.mismatch_logged.clear();
    if (members.empty()) {
        auto it = rooms_.find(room->key);
        if (it != rooms_.end() && it->second == room) rooms_.erase(it);
    }
    OSTREL_LOG(kInfo, "user '%s' left room %s (reason %d)", id.c_str(), room->key.c_str(), reason);
}

int World::exit_room(const std::shared_ptr<Core>& core) {
    recorder::Mute mute;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!core->in_room()) return ERR_INVALID_OPERATION;
    leave(*core, kExitLeft, true);
    return ERR_OK;
}

// ---- Subscriptions ----

int World::subscribe(const std::shared_ptr<Core>& core, const char* user_id, StreamType type, bool on) {
    recorder::Mute mute;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!core->in_room()) return ERR_INVALID_OPERATION;
    if (user_id == nullptr || *user_id == '\0') return ERR_INVALID_PARAMETER;
    const std::string id(user_id);
    Core& c = *core;
    if (type == STREAM_TYPE_AUDIO) {
        if (on) {
            c.audio_unsubscribed.erase(id);
        } else {
            c.audio_unsubscribed.insert(id);
            forget_sender(c, id);
        }
        return ERR_OK;
    }
    const int index = video_index(type);
    if (index < 0) return ERR_INVALID_PARAMETER;
    if (!on) {
        c.video_subscriptions.erase({id, type});
        return ERR_OK;
    }
    if (!c.video_subscriptions.insert({id, type}).second) return ERR_OK;
    // A new subscriber needs a key frame to start decoding.
    for (const std::shared_ptr<Core>& m : c.room->members) {
        if (m->user_id != id || !m->video_channel[index]) continue;
        m->post(event("OnRequestKeyFrame", [type](Delegate& d) { d.OnRequestKeyFrame(type); }));
    }
    return ERR_OK;
}

// ---- Local audio ----

int World::create_audio_channel(const std::shared_ptr<Core>& core, const AudioEncodeParams& params) {
    recorder::Mute mute;
    std::lock_guard<std::mutex> lock(mutex_);
    Core& c = *core;
    if (!c.in_room() || !c.anchor() || c.audio_channel) return ERR_INVALID_OPERATION;
    if (!valid_sample_rate(params.sample_rate) || !valid_channels(params.channels) ||
        !valid_frame_length_ms(params.frame_length_ms) || params.bitrate_bps < 0)
        return ERR_INVALID_PARAMETER;
    c.audio_channel = true;
    c.audio_params = params;
    c.post(event("OnLocalAudioChannelCreated", [](Delegate& d) { d.OnLocalAudioChannelCreated(); }));
    const std::string id = c.user_id;
    for (const std::shared_ptr<Core>& m : c.room->members) {
        if (m == core) continue;
        m->post(event("OnRemoteAudioAvailable", [id](Delegate& d) { d.OnRemoteAudioAvailable(id.c_str(), true); }));
    }
    return ERR_OK;
}

int World::destroy_audio_channel(const std::shared_ptr<Core>& core) {
    recorder::Mute mute;
    std::lock_guard<std::mutex> lock(mutex_);
    Core& c = *core;
    if (!c.in_room() || !c.audio_channel) return ERR_INVALID_OPERATION;
    c.audio_channel = false;
    c.continuous.clear();
    ++c.pacer_generation;
    c.pacer_running = false;
    c.post(event("OnLocalAudioChannelDestroyed", [](Delegate& d) { d.OnLocalAudioChannelDestroyed(); }));
    const std::string id = c.user_id;
    for (const std::shared_ptr<Core>& m : c.room->members) {
        if (m == core) continue;
        m->post(event("OnRemoteAudioAvailable", [id](Delegate& d) { d.OnRemoteAudioAvailable(id.c_str(), false); }));
        forget_sender(*m, id);
    }
    return ERR_OK;
}

int World::validate_audio_frame(const Core& c, const AudioFrame& frame) const {
    if (!c.in_room() || !c.audio_channel) return ERR_INVALID_OPERATION;
    const AudioEncodeParams& p = c.audio_params;
    if (frame.codec != AUDIO_CODEC_TYPE_PCM || frame.bits_per_sample != 16 || frame.sample_rate != p.sample_rate ||
        frame.channels != p.channels)
        return ERR_INVALID_PARAMETER;
    const size_t expected = frame_samples(p.sample_rate, p.frame_length_ms) * static_cast<size_t>(p.channels) * 2;
    if (frame_payload(frame).size() != expected) return ERR_INVALID_PARAMETER;
    return ERR_OK;
}

int World::send_audio(const std::shared_ptr<Core>& core, const AudioFrame& frame) {
    recorder::Mute mute;
    std::lock_guard<std::mutex> lock(mutex_);
    const int check = validate_audio_frame(*core, frame);
    if (check != ERR_OK) return check;
    if (core->disconnected) return ERR_NETWORK_UNREACHABLE;
    deliver_audio(*core, frame);
    return ERR_OK;
}

int World::send_continuous_audio(const std::shared_ptr<Core>& core, const AudioFrame& frame, bool clear) {
    recorder::Mute mute;
    std::lock_guard<std::mutex> lock(mutex_);
    Core& c = *core;
    const int check = validate_audio_frame(c, frame);
    if (check != ERR_OK) return check;
    if (clear) c.continuous.clear();
    if (c.continuous.size() >= kMaxContinuousAudioFrames) return ERR_READ_TRY_AGAIN;
    c.continuous.push_back(frame);
    if (!c.pacer_running) {
        c.pacer_running = true;
        const uint64_t generation = ++c.pacer_generation;
        const Clock::time_point now = Clock::now();
        std::weak_ptr<Core> weak = core;
        Service::get().post_at(now, [this, weak, generation, now] { pace(weak, generation, now); });
    }
    return ERR_OK;
}

void World::pace(const std::weak_ptr<Core>& weak, uint64_t generation, Clock::time_point due) {
    recorder::Mute mute;
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Core> core = weak.lock();
    if (!core || core->destroyed || core->pacer_generation != generation) return;
    Core& c = *core;
    if (c.continuous.empty() || !c.in_room() || !c.audio_channel) {
        c.pacer_running = false;
        return;
    }
    AudioFrame frame = std::move(c.continuous.front());
    c.continuous.pop_front();
    if (!c.disconnected) deliver_audio(c, frame);
    Clock::time_point next = due + std::chrono::milliseconds(c.audio_params.frame_length_ms);
    const Clock::time_point now = Clock::now();
    if (next + std::chrono::seconds(1) < now) next = now;  // far behind (a stalled process): restart the clock
    Service::get().post_at(next, [this, weak, generation, next] { pace(weak, generation, next); });
}

void World::deliver_audio(Core& sender, const AudioFrame& frame) {
    std::vector<int16_t> samples = pcm_of(frame_payload(frame));
    const bool voice = sender.vad ? detect_voice(samples.data(), samples.size()) : frame.has_voice;
    const size_t count = samples.size() / static_cast<size_t>(frame.channels);
    for (const std::shared_ptr<Core>& m : sender.room->members) {
        if (m.get() == &sender || m->disconnected || m->audio_unsubscribed.count(sender.user_id)) continue;
        Core& r = *m;
        auto it = r.streams.find(sender.user_id);
        if (it == r.streams.end() || !it->second.matches(frame.sample_rate, frame.channels)) {
            it = r.streams
                     .insert_or_assign(sender.user_id,
                                       PcmStream(frame.sample_rate, frame.channels, r.obtain.output_sample_rate,
                                                 r.obtain.output_channels, r.obtain.output_frame_length_ms))
                     .first;
        }
        std::vector<PcmFrame> out;
        it->second.push(samples.data(), count, frame.pts, voice, out);
        for (PcmFrame& f : out) {
            if (r.obtain.enable_remote_audio_mix) {
                r.mix[sender.user_id].frames.push_back(std::move(f));
                flush_mix(r, false);
            } else {
                hand_over(r, std::move(f), &sender.user_id);
            }
        }
    }
}

void World::flush_mix(Core& r, bool force) {
    // Every sender this member hears has a slot, so that the mixer waits for all of them.
    if (r.room) {
        for (const std::shared_ptr<Core>& m : r.room->members) {
            if (m.get() != &r && m->audio_channel && !r.audio_unsubscribed.count(m->user_id)) r.mix[m->user_id];
        }
    }
    for (;;) {
        bool all = !r.mix.empty();
        bool deep = false;
        bool any = false;
        for (const auto& [id, slot] : r.mix) {
            (void)id;
            if (slot.frames.empty()) all = false;
            if (!slot.frames.empty()) any = true;
            if (slot.frames.size() >= static_cast<size_t>(kMixFlushDepth)) deep = true;
        }
        if (!(all || deep || (force && any))) return;
        std::vector<int32_t> sum;
        PcmFrame mixed;
        bool first = true;
        for (auto& [id, slot] : r.mix) {
            (void)id;
            if (slot.frames.empty()) continue;
            PcmFrame& f = slot.frames.front();
            mix_into(sum, f.samples);
            if (first) mixed.pts = f.pts;
            first = false;
            mixed.has_voice = mixed.has_voice || f.has_voice;
            slot.frames.pop_front();
        }
        mixed.samples = saturate(sum);
        hand_over(r, std::move(mixed), nullptr);
    }
}

void World::hand_over(Core& r, PcmFrame frame, const std::string* sender) {
    if (r.obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_GET) {
        r.get_queue.push_back(std::move(frame));
        if (r.get_queue.size() > kMaxGetAudioFrames) {
            r.get_queue.pop_front();
            ++r.get_dropped;
            note_dropped(1);
        }
        return;
    }
    auto out = std::make_shared<AudioFrame>();
    fill_audio_frame(*out, frame, r.obtain);
    const size_t bytes = frame.samples.size() * 2;
    if (sender != nullptr) {
        r.post(media_event("OnRemoteAudioReceived", bytes,
                           [id = *sender, out](Delegate& d) { d.OnRemoteAudioReceived(id.c_str(), *out); }));
    } else {
        r.post(media_event("OnRemoteMixedAudioReceived", bytes,
                           [out](Delegate& d) { d.OnRemoteMixedAudioReceived(*out); }));
    }
}

void World::forget_sender(Core& r, const std::string& sender) {
    r.streams.erase(sender);
    auto it = r.mix.find(sender);
    if (it == r.mix.end()) return;
    // What this sender still had in the mixer goes out with the others, then it stops counting.
    while (!it->second.frames.empty()) {
        flush_mix(r, true);
    }
    r.mix.erase(it);
    flush_mix(r, false);
}

int World::get_audio_frame(const std::shared_ptr<Core>& core, AudioFrame* frame) {
    recorder::Mute mute;
    if (frame == nullptr) return ERR_INVALID_PARAMETER;
    PcmFrame pcm;
    AudioObtainParams obtain;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (core->get_queue.empty()) return ERR_READ_TRY_AGAIN;
        pcm = std::move(core->get_queue.front());
        core->get_queue.pop_front();
        obtain = core->obtain;
    }
    fill_audio_frame(*frame, pcm, obtain);
    return ERR_OK;
}

void World::enable_vad(const std::shared_ptr<Core>& core, bool enable) {
    std::lock_guard<std::mutex> lock(mutex_);
    core->vad = enable;
}

// ---- Local video ----

int World::create_video_channel(const std::shared_ptr<Core>& core, StreamType type) {
    recorder::Mute mute;
    const int index = video_index(type);
    if (index < 0) return ERR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mutex_);
    Core& c = *core;
    if (!c.in_room() || !c.anchor() || c.video_channel[index]) return ERR_INVALID_OPERATION;
    c.video_channel[index] = true;
    c.post(event("OnLocalVideoChannelCreated", [type](Delegate& d) { d.OnLocalVideoChannelCreated(type); }));
    const std::string id = c.user_id;
    bool subscribed = false;
    for (const std::shared_ptr<Core>& m : c.room->members) {
        if (m == core) continue;
        m->post(event("OnRemoteVideoAvailable",
                      [id, type](Delegate& d) { d.OnRemoteVideoAvailable(id.c_str(), true, type); }));
        if (m->video_subscriptions.count({id, type})) subscribed = true;
    }
    // Subscribers who asked before the stream existed need a key frame.
    if (subscribed) c.post(event("OnRequestKeyFrame", [type](Delegate& d) { d.OnRequestKeyFrame(type); }));
    return ERR_OK;
}

int World::destroy_video_channel(const std::shared_ptr<Core>& core, StreamType type) {
    recorder::Mute mute;
    const int index = video_index(type);
    if (index < 0) return ERR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mutex_);
    Core& c = *core;
    if (!c.in_room() || !c.video_channel[index]) return ERR_INVALID_OPERATION;
    c.video_channel[index] = false;
    c.post(event("OnLocalVideoChannelDestroyed", [type](Delegate& d) { d.OnLocalVideoChannelDestroyed(type); }));
    const std::string id = c.user_id;
    for (const std::shared_ptr<Core>& m : c.room->members) {
        if (m == core) continue;
        m->post(event("OnRemoteVideoAvailable",
                      [id, type](Delegate& d) { d.OnRemoteVideoAvailable(id.c_str(), false, type); }));
    }
    if (std::none_of(c.video_channel.begin(), c.video_channel.end(), [](bool b) { return b; })) c.pending_sei.clear();
    return ERR_OK;
}

void World::set_video_encode_param(const std::shared_ptr<Core>& core, StreamType type, const VideoEncodeParams& param) {
    const int index = video_index(type);
    if (index < 0) {
        OSTREL_LOG(kWarning, "SetVideoEncodeParam ignored: stream type %d is not a video stream", static_cast<int>(type));
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    core->video_params[index] = param;
}

void World::deliver_sei(Core& sender, int index) {
    if (sender.pending_sei.empty()) return;
    const StreamType type = video_type(index);
    const std::string id = sender.user_id;
    for (Core::Sei& sei : sender.pending_sei) {
        auto message = std::make_shared<const std::vector<uint8_t>>(std::move(sei.message));
        const int message_type = sei.message_type;
        for (const std::shared_ptr<Core>& m : sender.room->members) {
            if (m.get() == &sender || m->disconnected || !m->video_subscriptions.count({id, type})) continue;
            m->post(event("OnSeiMessageReceived", [id, type, message_type, message](Delegate& d) {
                d.OnSeiMessageReceived(id.c_str(), type, message_type, reinterpret_cast<const char*>(message->data()),
                                       message->size());
            }));
        }
    }
    sender.pending_sei.clear();
}

int World::send_video(const std::shared_ptr<Core>& core, StreamType type, const VideoFrame& frame) {
    recorder::Mute mute;
    const int index = video_index(type);
    if (index < 0) return ERR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mutex_);
    Core& c = *core;
    if (!c.in_room() || !c.video_channel[index] || c.pixel_input) return ERR_INVALID_OPERATION;
    const size_t size = frame_payload(frame).size();
    if (size == 0 || frame.codec > VIDEO_CODEC_TYPE_H265 || frame.rotation > VIDEO_ROTATION_270)
        return ERR_INVALID_PARAMETER;
    if (c.disconnected) return ERR_NETWORK_UNREACHABLE;
    deliver_sei(c, index);
    auto copy = std::make_shared<const VideoFrame>(frame);
    const std::string& id = c.user_id;
    const std::pair<std::string, int> subscription{id, type};
    // One copy of the sender's id for every receiver's event, like the frame itself.
    std::shared_ptr<const std::string> from;
    for (const std::shared_ptr<Core>& m : c.room->members) {
        if (m == core || m->disconnected || !m->video_subscriptions.count(subscription)) continue;
        if (m->pixel_output) {
            if (m->mismatch_logged.insert(id).second) {
                OSTREL_LOG(kWarning, "'%s' wants pixel frames but '%s' sends encoded video: not delivered",
                           m->user_id.c_str(), id.c_str());
            }
            continue;
        }
        if (!from) from = std::make_shared<const std::string>(id);
        m->post(media_event("OnRemoteVideoFrameReceived", size,
                            [from, type, copy](Delegate& d) { d.OnRemoteVideoReceived(from->c_str(), type, *copy); }));
    }
    return ERR_OK;
}

int World::send_pixels(const std::shared_ptr<Core>& core, StreamType type, const PixelFrame& frame) {
    recorder::Mute mute;
    const int index = video_index(type);
    if (index < 0) return ERR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mutex_);
    Core& c = *core;
    if (!c.in_room() || !c.video_channel[index] || !c.pixel_input) return ERR_INVALID_OPERATION;
    const size_t size = frame_payload(frame).size();
    if (frame.width == 0 || frame.height == 0 || frame.width > kMaxPixelDimension ||
        frame.height > kMaxPixelDimension || frame.format > VIDEO_PIXEL_FORMAT_RGBA ||
        frame.rotation > VIDEO_ROTATION_270 || size != pixel_bytes(frame.format, frame.width, frame.height))
        return ERR_INVALID_PARAMETER;
    if (c.disconnected) return ERR_NETWORK_UNREACHABLE;
    deliver_sei(c, index);
    auto copy = std::make_shared<const PixelFrame>(frame);
    const std::string& id = c.user_id;
    const std::pair<std::string, int> subscription{id, type};
    // One copy of the sender's id for every receiver's event, like the frame itself.
    std::shared_ptr<const std::string> from;
    for (const std::shared_ptr<Core>& m : c.room->members) {
        if (m == core || m->disconnected || !m->video_subscriptions.count(subscription)) continue;
        if (!m->pixel_output) {
            if (m->mismatch_logged.insert(id).second) {
                OSTREL_LOG(kWarning, "'%s' wants encoded video but '%s' sends pixel frames: not delivered",
                           m->user_id.c_str(), id.c_str());
            }
            continue;
        }
        if (!from) from = std::make_shared<const std::string>(id);
        m->post(media_event("OnRemotePixelFrameReceived", size,
                            [from, type, copy](Delegate& d) { d.OnRemoteVideoReceived(from->c_str(), type, *copy); }));
    }
    return ERR_OK;
}

int World::send_sei(const std::shared_ptr<Core>& core, int message_type, const char* message, size_t length) {
    recorder::Mute mute;
    std::lock_guard<std::mutex> lock(mutex_);
    Core& c = *core;
    if (!c.in_room() || std::none_of(c.video_channel.begin(), c.video_channel.end(), [](bool b) { return b; }))
        return ERR_INVALID_OPERATION;
    if (message_type != kSeiTypeUserData && (message_type < kMinSeiType || message_type > kMaxSeiType))
        return ERR_INVALID_PARAMETER;
    if (message == nullptr || length == 0 || length > kMaxSeiBytes) return ERR_INVALID_PARAMETER;
    if (c.pending_sei.size() >= kMaxPendingSei) return ERR_READ_TRY_AGAIN;
    c.pending_sei.push_back(Core::Sei{message_type, std::vector<uint8_t>(message, message + length)});
    return ERR_OK;
}

// ---- Custom command messages ----

bool World::send_custom_cmd(const std::shared_ptr<Core>& core, uint32_t cmd_id, const char* message, size_t length) {
    recorder::Mute mute;
    std::lock_guard<std::mutex> lock(mutex_);
    Core& c = *core;
    if (!c.in_room() || !c.anchor() || c.disconnected) return false;
    if (cmd_id < kMinCmdId || cmd_id > kMaxCmdId) return false;
    if (message == nullptr || length == 0 || length > kMaxCmdBytes) return false;
    const Clock::time_point now = Clock::now();
    while (!c.sent_window.empty() && now - c.sent_window.front().first >= std::chrono::seconds(1)) {
        c.sent_window.pop_front();
    }
    size_t bytes = 0;
    for (const auto& sent : c.sent_window) bytes += sent.second;
    if (c.sent_window.size() + 1 > kMaxCmdPerSecond || bytes + length > kMaxCmdBytesPerSecond) return false;
    c.sent_window.emplace_back(now, length);

    const uint32_t seq = ++c.cmd_seq[cmd_id];
    if (c.drop_next > 0) {
        --c.drop_next;
        ++c.cmd_lost[cmd_id];
        return true;
    }
    uint32_t missed = 0;
    auto lost = c.cmd_lost.find(cmd_id);
    if (lost != c.cmd_lost.end()) {
        missed = lost->second;
        c.cmd_lost.erase(lost);
    }
    const std::string id = c.user_id;
    const int32_t cmd = static_cast<int32_t>(cmd_id);
    auto payload = std::make_shared<const std::vector<uint8_t>>(message, message + length);
    for (const std::shared_ptr<Core>& m : c.room->members) {
        if (m == core) continue;
        if (missed > 0) {
            m->post(event("OnMissCustomCmdMsg",
                          [id, cmd, missed](Delegate& d) { d.OnMissCustomCmdMsg(id.c_str(), cmd, kMissLost, missed); }));
        }
        m->post(event("OnReceiveCustomCmdMsg", [id, cmd, seq, payload](Delegate& d) {
            d.OnReceiveCustomCmdMsg(id.c_str(), cmd, seq, reinterpret_cast<const char*>(payload->data()),
                                    payload->size());
        }));
    }
    return true;
}

// ---- Network quality ----

void World::ensure_quality_timer() {
    if (quality_timer_ || quality_interval_ms_ <= 0 || rooms_.empty()) return;
    quality_timer_ = true;
    const uint64_t generation = quality_generation_;
    Service::get().post_at(Clock::now() + std::chrono::milliseconds(quality_interval_ms_),
                           [this, generation] { quality_tick(generation); });
}

void World::quality_tick(uint64_t generation) {
    recorder::Mute mute;
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != quality_generation_) return;
    if (rooms_.empty()) {
        quality_timer_ = false;
        return;
    }
    for (const auto& [key, room] : rooms_) {
        (void)key;
        std::vector<NetworkQualityInfo> reports;
        reports.reserve(room->members.size());
        for (const std::shared_ptr<Core>& m : room->members) {
            NetworkQualityInfo info;
            info.user_id = m->user_id.c_str();
            info.quality = m->disconnected ? NETWORK_QUALITY_DOWN : m->quality;
            reports.push_back(info);
        }
        for (size_t i = 0; i < room->members.size(); ++i) {
            std::vector<NetworkQualityInfo> list;
            list.reserve(reports.size());
            list.push_back(reports[i]);  // the member's own report first, then the others in entry order
            for (size_t j = 0; j < room->members.size(); ++j) {
                if (j != i && room->members[j]->anchor()) list.push_back(reports[j]);
            }
            room->members[i]->post(event("OnNetworkQuality", [list](Delegate& d) mutable {
                d.OnNetworkQuality(&list[0], list.size() > 1 ? &list[1] : nullptr, list.size() - 1);
            }));
        }
    }
    Service::get().post_at(Clock::now() + std::chrono::milliseconds(quality_interval_ms_),
                           [this, generation] { quality_tick(generation); });
}

void World::request_bitrate(Core& c) {
    for (int i = 0; i < kVideoStreams; ++i) {
        if (!c.video_channel[i]) continue;
        const int base = c.video_params[i].bitrate_bps > 0 ? c.video_params[i].bitrate_bps : default_bitrate(i);
        const int bitrate = static_cast<int>(base * quality_factor(c.quality));
        const StreamType type = video_type(i);
        c.post(event("OnRequestChangeVideoEncodeBitrate",
                     [type, bitrate](Delegate& d) { d.OnRequestChangeVideoEncodeBitrate(type, bitrate); }));
    }
}

// ---- Test controls ----

std::vector<std::shared_ptr<Core>> World::members_named(const std::string& user_id) {
    std::vector<std::shared_ptr<Core>> found;
    for (const std::shared_ptr<Core>& c : live_) {
        if (c->in_room() && c->user_id == user_id) found.push_back(c);
    }
    return found;
}

bool World::wait_idle(double timeout_seconds) {
    std::vector<std::pair<std::shared_ptr<EventLoop>, uint64_t>> marks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::shared_ptr<Core>& c : live_) {
            if (c->loop) marks.emplace_back(c->loop, c->loop->mark());
        }
    }
    if (!(timeout_seconds >= 0)) timeout_seconds = 0;  // NaN and negative: just look
    timeout_seconds = std::min(timeout_seconds, 1e6);
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_seconds));
    for (auto& [loop, mark] : marks) {
        if (!loop->wait_delivered(mark, deadline)) return false;
    }
    return true;
}

int World::set_network_quality(const std::string& user_id, int quality) {
    if (quality < 0 || quality > static_cast<int>(NETWORK_QUALITY_DOWN)) return -1;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto members = members_named(user_id);
    for (const std::shared_ptr<Core>& m : members) {
        const auto q = static_cast<NetworkQuality>(quality);
        if (m->quality == q) continue;
        m->quality = q;
        request_bitrate(*m);
    }
    return static_cast<int>(members.size());
}

void World::set_quality_interval(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    quality_interval_ms_ = ms <= 0 ? 0 : std::max(ms, 10);
    ++quality_generation_;
    quality_timer_ = false;
    ensure_quality_timer();
}

int World::drop_messages(const std::string& user_id, uint32_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto members = members_named(user_id);
    for (const std::shared_ptr<Core>& m : members) m->drop_next += count;
    return static_cast<int>(members.size());
}

int World::disconnect(const std::string& user_id, int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto members = members_named(user_id);
    for (const std::shared_ptr<Core>& m : members) {
        if (!m->disconnected) {
            m->disconnected = true;
            m->post(state_change(m->connection, CONNECTION_STATE_DISCONNECTED));
            m->post(state_change(CONNECTION_STATE_DISCONNECTED, CONNECTION_STATE_CONNECTING));
            m->connection = CONNECTION_STATE_CONNECTING;
        }
        const uint64_t generation = ++m->disconnect_generation;
        std::weak_ptr<Core> weak = m;
        Service::get().post_at(Clock::now() + std::chrono::milliseconds(std::max(ms, 0)),
                               [this, weak, generation] { reconnect(weak, generation); });
    }
    return static_cast<int>(members.size());
}

void World::reconnect(const std::weak_ptr<Core>& weak, uint64_t generation) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Core> core = weak.lock();
    if (!core || core->destroyed || !core->disconnected || core->disconnect_generation != generation) return;
    core->disconnected = false;
    core->post(state_change(CONNECTION_STATE_CONNECTING, CONNECTION_STATE_CONNECTED));
    core->connection = CONNECTION_STATE_CONNECTED;
}

int World::raise_error(const std::string& user_id, int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto members = members_named(user_id);
    for (const std::shared_ptr<Core>& m : members) m->post(error_event(static_cast<Error>(code)));
    return static_cast<int>(members.size());
}

int World::kick(const std::string& user_id, int reason) {
    recorder::Mute mute;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto members = members_named(user_id);
    for (const std::shared_ptr<Core>& m : members) {
        m->post(error_event(ERR_BANNED_BY_SERVER));
        leave(*m, reason, true);
    }
    return static_cast<int>(members.size());
}

int World::inject(const std::string* user_id, const Event& ev) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto targets = user_id ? members_named(*user_id) : live_;
    for (const std::shared_ptr<Core>& t : targets) t->post(ev);
    return static_cast<int>(targets.size());
}

void World::fail_next_create() {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_next_create_ = true;
}

int World::live_instances() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(live_.size());
}

uint64_t World::dropped() { return total_dropped(); }

}  // namespace cloud
}  // namespace loopback
}  // namespace ostrel
