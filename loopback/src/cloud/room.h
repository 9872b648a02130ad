// Rooms inside the process: the registry of rooms and live instances, each instance's room
// state, and every room operation (entering, leaving, channels, media, messages, network
// quality, and the test controls).
//
// One process-wide mutex guards all room state. It is held only for bookkeeping and for
// queueing events; no delegate ever runs under it, so every operation may be called from
// inside any callback. Lock order: the world mutex, then an event loop's mutex.
#ifndef OSTREL_LOOPBACK_CLOUD_ROOM_H_
#define OSTREL_LOOPBACK_CLOUD_ROOM_H_

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cloud/audio_convert.h"
#include "cloud/event_queue.h"
#include "process_local.h"
#include "vonu/ostrel_vonu_cloud.h"

namespace ostrel {
namespace loopback {
namespace cloud {

using Clock = std::chrono::steady_clock;

// Bounds and limits of the simulation.
constexpr size_t kMaxGetAudioFrames = 100;         // frames waiting for GetAudioFrame per instance
constexpr size_t kMaxContinuousAudioFrames = 3000;  // SendContinuousAudioFrame queue per instance
constexpr size_t kMaxPendingSei = 64;               // SEI messages waiting for a video frame
constexpr uint32_t kMinCmdId = 1;
constexpr uint32_t kMaxCmdId = 10;
constexpr size_t kMaxCmdBytes = 1000;
constexpr size_t kMaxCmdPerSecond = 30;
constexpr size_t kMaxCmdBytesPerSecond = 8192;
constexpr int kMinSeiType = 100;
constexpr int kMaxSeiType = 254;
constexpr int kSeiTypeUserData = 5;
constexpr size_t kMaxSeiBytes = 1000;
constexpr int kDefaultQualityIntervalMs = 2000;
constexpr int kMixFlushDepth = 3;  // a mixer stops waiting for a silent sender at this depth

// error_code of OnMissCustomCmdMsg: the messages were lost in transit.
constexpr uint32_t kMissLost = 1;

// Reasons given to OnRemoteUserExitRoom.
constexpr int kExitLeft = 0;      // ExitRoom or Destroy
constexpr int kExitReplaced = 3;  // the same user id entered from another instance

// The three local video streams, by index.
constexpr int kVideoStreams = 3;
int video_index(vonu::StreamType type);  // -1 for anything else
vonu::StreamType video_type(int index);

struct Room;

// One VONUCloud instance's state. All fields but `id` and `loop` are guarded by the world mutex.
struct Core {
    struct Sei {
        int message_type;
        std::vector<uint8_t> message;
    };
    struct MixSlot {
        std::deque<PcmFrame> frames;
    };

    uint64_t id = 0;
    std::shared_ptr<EventLoop> loop;  // null for a null delegate: events go nowhere

    bool destroyed = false;
    vonu::ConnectionState connection = vonu::CONNECTION_STATE_INIT;

    // Room membership.
    std::shared_ptr<Room> room;
    std::string user_id;
    vonu::VONURole role = vonu::VONU_ROLE_ANCHOR;
    vonu::AudioObtainParams obtain;
    bool pixel_input = false;
    bool pixel_output = false;
    bool disconnected = false;
    uint64_t disconnect_generation = 0;
    vonu::NetworkQuality quality = vonu::NETWORK_QUALITY_EXCELLENT;

    // Local channels.
    bool audio_channel = false;
    vonu::AudioEncodeParams audio_params;
    std::array<bool, kVideoStreams> video_channel{};
    std::array<vonu::VideoEncodeParams, kVideoStreams> video_params{};
    std::deque<Sei> pending_sei;
    bool vad = false;

    // Paced audio.
    std::deque<vonu::AudioFrame> continuous;
    bool pacer_running = false;
    uint64_t pacer_generation = 0;

    // Subscriptions (remote user id, stream type); audio is subscribed unless listed here.
    std::set<std::pair<std::string, int>> video_subscriptions;
    std::set<std::string> audio_unsubscribed;

    // Received audio: per-sender converters, the mixer, and the GetAudioFrame queue.
    std::map<std::string, PcmStream> streams;
    std::map<std::string, MixSlot> mix;
    std::deque<PcmFrame> get_queue;
    uint64_t get_dropped = 0;

    // Custom command messages.
    std::deque<std::pair<Clock::time_point, size_t>> sent_window;
    std::map<uint32_t, uint32_t> cmd_seq;
    std::map<uint32_t, uint32_t> cmd_lost;
    uint32_t drop_next = 0;

    // Pixel/encoded mismatches already logged, by sender.
    std::set<std::string> mismatch_logged;

    bool in_room() const { return room != nullptr; }
    bool anchor() const { return role == vonu::VONU_ROLE_ANCHOR; }
    void post(Event event) const {
        if (loop) loop->post(std::move(event));
    }
};

struct Room {
    std::string key;
    std::vector<std::shared_ptr<Core>> members;  // in entry order
};

class World {
public:
    // The rooms of this process (a forked child has rooms of its own; see ProcessLocal).
    static World& get();
    // In a fork child: a new, empty world with the parent's report interval.
    static void forget_in_child();

    // Instances.
    std::shared_ptr<Core> create(vonu::VONUCloudDelegate* delegate);
    void destroy(const std::shared_ptr<Core>& core);

    // Room operations; results as the VONUCloud operations return them.
    int enter_room(const std::shared_ptr<Core>& core, const vonu::EnterRoomParams& params);
    int exit_room(const std::shared_ptr<Core>& core);
    int subscribe(const std::shared_ptr<Core>& core, const char* user_id, vonu::StreamType type, bool on);
    int get_audio_frame(const std::shared_ptr<Core>& core, vonu::AudioFrame* frame);
    int create_audio_channel(const std::shared_ptr<Core>& core, const vonu::AudioEncodeParams& params);
    int send_audio(const std::shared_ptr<Core>& core, const vonu::AudioFrame& frame);
    int send_continuous_audio(const std::shared_ptr<Core>& core, const vonu::AudioFrame& frame, bool clear);
    int destroy_audio_channel(const std::shared_ptr<Core>& core);
    int create_video_channel(const std::shared_ptr<Core>& core, vonu::StreamType type);
    int destroy_video_channel(const std::shared_ptr<Core>& core, vonu::StreamType type);
    int send_video(const std::shared_ptr<Core>& core, vonu::StreamType type, const vonu::VideoFrame& frame);
    int send_pixels(const std::shared_ptr<Core>& core, vonu::StreamType type, const vonu::PixelFrame& frame);
    void set_video_encode_param(const std::shared_ptr<Core>& core, vonu::StreamType type,
                                const vonu::VideoEncodeParams& param);
    int send_sei(const std::shared_ptr<Core>& core, int message_type, const char* message, size_t length);
    bool send_custom_cmd(const std::shared_ptr<Core>& core, uint32_t cmd_id, const char* message, size_t length);
    void enable_vad(const std::shared_ptr<Core>& core, bool enable);

    // Test controls. Members are named by the user id they entered with; each returns the
    // number of instances it reached.
    bool wait_idle(double timeout_seconds);
    int set_network_quality(const std::string& user_id, int quality);
    void set_quality_interval(int ms);
    int drop_messages(const std::string& user_id, uint32_t count);
    int disconnect(const std::string& user_id, int ms);
    int raise_error(const std::string& user_id, int code);
    int kick(const std::string& user_id, int reason);
    // Posts `event` to that member, or to every live instance when `user_id` is null.
    int inject(const std::string* user_id, const Event& event);
    void fail_next_create();
    int live_instances();
    uint64_t dropped();

private:
    friend class ProcessLocal<World>;
    World();

    void ensure_quality_timer();  // requires mutex_
    void quality_tick(uint64_t generation);
    void pace(const std::weak_ptr<Core>& weak, uint64_t generation, Clock::time_point due);
    void reconnect(const std::weak_ptr<Core>& weak, uint64_t generation);

    bool waits_for(const EventLoop* from, const EventLoop* target) const;  // requires mutex_
    void leave(Core& core, int reason, bool notify_self);  // requires mutex_
    void announce(Core& to, const Core& member);           // requires mutex_
    void end_local_channels(Core& core, bool notify_self);  // requires mutex_
    void deliver_audio(Core& sender, const vonu::AudioFrame& frame);                                    // requires mutex_
    void deliver_to(Core& receiver, const std::string& sender, const vonu::AudioFrame& frame, bool voice);  // requires mutex_
    void flush_mix(Core& receiver, bool force);                                                          // requires mutex_
    void hand_over(Core& receiver, PcmFrame frame, const std::string* sender);                          // requires mutex_
    void forget_sender(Core& receiver, const std::string& sender);                                       // requires mutex_
    void deliver_sei(Core& sender, int index);                                                           // requires mutex_
    void request_bitrate(Core& core);                                                                    // requires mutex_
    std::vector<std::shared_ptr<Core>> members_named(const std::string& user_id);                        // requires mutex_
    int validate_audio_frame(const Core& core, const vonu::AudioFrame& frame) const;                    // requires mutex_

    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Room>> rooms_;
    std::vector<std::shared_ptr<Core>> live_;
    // Event threads blocked in Destroy, waiting for another instance's event thread to end: the
    // loop whose callback called Destroy, and the loop it waits for. Each loop waits for at most
    // one other, and a link that would close a cycle is never added, so following the links from
    // any loop ends.
    std::map<const EventLoop*, const EventLoop*> waiting_for_;
    uint64_t next_id_ = 1;
    bool fail_next_create_ = false;
    int quality_interval_ms_ = kDefaultQualityIntervalMs;
    uint64_t quality_generation_ = 0;
    bool quality_timer_ = false;
};

}  // namespace cloud
}  // namespace loopback
}  // namespace ostrel

#endif  // OSTREL_LOOPBACK_CLOUD_ROOM_H_
