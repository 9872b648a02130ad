// The state of one VONUCloud instance, shared by the instance, the rooms, the service thread
// and the send workers. Every field but `id` and `loop` is guarded by the engine lock, except
// inside StreamCodecs, which its own mutex guards.
//
// It is split by lifetime: what lasts as long as the instance, and the Session, which lasts
// as long as one stay in a room. Leaving a room ends the session in one step (end_session).
#ifndef OSTREL_LOOPBACK_ENGINE_INSTANCE_STATE_H_
#define OSTREL_LOOPBACK_ENGINE_INSTANCE_STATE_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/codec_count.h"
#include "engine/frame_pool.h"
#include "engine/streams.h"
#include "engine/timer_slot.h"
#include "events/event_loop.h"
#include "events/send_worker.h"
#include "log_throttle.h"
#include "media/h264_decoder.h"
#include "media/h264_encoder.h"
#include "media/i420.h"
#include "media/opus_decoder.h"
#include "media/opus_encoder.h"
#include "media/pcm_stream.h"
#include "vonu/ostrel_vonu_cloud.h"

namespace ostrel::loopback::engine {

using Clock = std::chrono::steady_clock;
using events::Event;

struct Room;
struct InstanceState;

using LiveOpusEncoder = Counted<media::OpusEncoder, CodecKind::opus_encoder>;
using LiveOpusDecoder = Counted<media::OpusDecoder, CodecKind::opus_decoder>;
using LiveH264Encoder = Counted<media::H264Encoder, CodecKind::h264_encoder>;
using LiveH264Decoder = Counted<media::H264Decoder, CodecKind::h264_decoder>;

// The local audio channel and what it sends.
struct SentAudio {
    bool channel = false;                      // the channel exists
    vonu::AudioEncodeParams params;            // its parameters, valid while it exists
    std::deque<vonu::AudioFrame> paced;        // SendContinuousAudioFrame's queue
    std::unique_ptr<LiveOpusDecoder> decoder;  // decodes sent Opus for receivers of PCM
    events::SendWorker worker;                 // delivers the frames, from the first one sent
};

// One frame of received audio as the application gets it: PCM, or an Opus packet.
struct ReadyAudio {
    std::vector<uint8_t> payload;                             // samples or the packet
    vonu::AudioCodecType codec = vonu::AUDIO_CODEC_TYPE_PCM;  // which of the two
    uint32_t pts = 0;                                         // milliseconds
    bool has_voice = false;                                   // as the sender or the detector says
};

// Audio received from the other members.
struct ReceivedAudio {
    // Mixer input of one sender: converted frames not mixed yet.
    struct MixSlot {
        std::deque<media::PcmFrame> frames;  // oldest first
    };
    std::set<std::string> unsubscribed;               // senders not heard; all others are
    std::map<std::string, media::PcmStream> streams;  // per-sender conversion to the output format
    std::map<std::string, MixSlot> mix;               // per-sender mixer input, when mixing
    std::map<std::string, LiveOpusEncoder> encoders;  // per sender ("" for the mix), for Opus output
    std::deque<ReadyAudio> get_queue;                 // frames waiting for GetAudioFrame
};

// The conversions of one sent video stream between pixel frames and H.264, each made when a
// receiver first needs it and released when none does. The stream's worker uses them without
// the engine lock, holding `mutex`; code holding the engine lock only tries `mutex`, so it
// never waits for a conversion (the worker takes the engine lock only without `mutex`).
struct StreamCodecs {
    std::mutex mutex;                          // guards every member below but `closed`
    std::unique_ptr<LiveH264Encoder> encoder;  // pixel frames to H.264
    std::unique_ptr<LiveH264Decoder> decoder;  // H.264 to pixel frames
    media::I420Image converted;                // scratch: an RGBA frame as I420
    media::I420Image decoded;                  // scratch: the newest decoded picture
    std::atomic<bool> closed{false};           // the stream ended: no conversion runs any more

    // Releases both codecs now if no conversion runs; else returns false, and the caller leaves
    // the release to the worker (release()), so that the engine lock never waits for a codec.
    bool release_if_idle() {
        std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
        if (!lock.owns_lock()) return false;
        encoder.reset();
        decoder.reset();
        return true;
    }
    // On the worker: releases both codecs, after the conversions queued before.
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        encoder.reset();
        decoder.reset();
    }
};

// The local video channels and the video received.
struct VideoSession {
    // An SEI message waiting for the next video frame.
    struct Sei {
        int message_type;              // as SendSeiMessage got it
        std::vector<uint8_t> message;  // its bytes
    };
    // One sent stream: the worker that converts its frames for receivers of the other form, and
    // what the conversions keep between frames.
    struct Stream {
        events::SendWorker worker;  // converts the frames, from the first one to convert
        std::shared_ptr<StreamCodecs> codecs = std::make_shared<StreamCodecs>();  // used by the worker
        bool converting = false;     // frames went to the worker since its codecs were last released
        bool key_frame_due = false;  // the next encoded frame must be an IDR
        // Copies of the raw frames sent, kept for the next sends to copy into.
        std::shared_ptr<FramePool<vonu::PixelFrame>> pixel_frames = std::make_shared<FramePool<vonu::PixelFrame>>();
    };
    std::array<bool, kVideoStreams> channel{};            // local streams that exist
    std::array<Stream, kVideoStreams> streams;            // sent streams, by index
    std::deque<Sei> pending_sei;                          // sent with the next frame
    std::set<std::pair<std::string, int>> subscriptions;  // (remote user id, stream type)
    std::set<std::string> mismatch_logged;                // senders whose form mismatch was logged
};

// Custom command messages sent.
struct MessageSession {
    std::deque<std::pair<Clock::time_point, size_t>> sent_window;  // (time, bytes) of the last second
    std::map<uint32_t, uint32_t> seq;                              // last sequence number, by command id
    std::map<uint32_t, uint32_t> lost;                             // lost since the last delivered, by id
    uint32_t drop_next = 0;                                        // messages the test controls drop
};

// Faults on the way of media to this member, set by the test controls (see media_faults.h).
struct MediaFaults {
    // A frame held back by the delay, and how it reaches the member once due.
    struct Delayed {
        Clock::time_point due;                          // on the SDK clock
        std::function<void(InstanceState&)> hand_over;  // posts the event or queues the frame
    };
    double audio_loss = 0.0;      // fraction of audio frames lost
    double video_loss = 0.0;      // fraction of video frames lost
    int delay_ms = 0;             // added to the way of every frame
    int jitter_ms = 0;            // the delay varies by up to this much either way
    std::mt19937_64 random;       // draws losses and jitter; media_loss may seed it
    std::deque<Delayed> delayed;  // frames on their way, due times in order

    // Nothing to do on the way: no loss, no delay, nothing held back.
    bool none() const {
        return audio_loss <= 0.0 && video_loss <= 0.0 && delay_ms <= 0 && jitter_ms <= 0 && delayed.empty();
    }
};

// One stay in a room, from EnterRoom to leaving it. Blank outside a room.
struct Session {
    std::shared_ptr<Room> room;                                      // null outside a room
    uint64_t stay = 0;                                               // this stay's number, unique; 0 outside a room
    std::string user_id;                                             // entered with
    vonu::VONURole role = vonu::VONU_ROLE_ANCHOR;                    // entered as
    vonu::AudioObtainParams obtain;                                  // how received audio is wanted
    bool pixel_input = false;                                        // sends pixel frames, not encoded video
    bool pixel_output = false;                                       // wants pixel frames, not encoded video
    bool disconnected = false;                                       // a simulated network loss is on
    vonu::NetworkQuality quality = vonu::NETWORK_QUALITY_EXCELLENT;  // simulated network quality
    SentAudio audio_out;                                             // local audio channel
    ReceivedAudio audio_in;                                          // remote audio
    VideoSession video;                                              // local and remote video
    MessageSession messages;                                         // custom command messages
    MediaFaults faults;                                              // loss and delay of media to it
    log::Throttle undecodable_log;  // this sender's frames that could not be decoded (engine lock)

    // Calls `f` with every send worker of the stay (the audio channel's, each video stream's).
    template <typename F>
    void for_each_worker(F&& f) {
        f(audio_out.worker);
        for (VideoSession::Stream& stream : video.streams) f(stream.worker);
    }
};

struct InstanceState {
    uint64_t id = 0;                          // the instance's number, for logs
    std::shared_ptr<events::EventLoop> loop;  // null for a null delegate: events go nowhere

    bool destroyed = false;                                             // Destroy has begun
    vonu::ConnectionState connection = vonu::CONNECTION_STATE_INIT;     // as last reported
    bool vad = false;                                                   // voice activity detection on
    std::array<vonu::VideoEncodeParams, kVideoStreams> video_params{};  // SetVideoEncodeParam's, by stream
    TimerSlot pacer;                                                    // paced audio of audio_out.paced
    TimerSlot reconnect;                                                // the end of a simulated network loss
    Session session;                                                    // the current stay in a room

    bool in_room() const { return session.room != nullptr; }
    bool anchor() const { return session.role == vonu::VONU_ROLE_ANCHOR; }
    void post(Event event) const {
        if (loop) loop->post(std::move(event));
    }
    // Forgets the stay in a room and cancels the timed work that belonged to it.
    void end_session() {
        session = Session{};
        pacer.cancel();
        reconnect.cancel();
    }
};

using InstancePtr = std::shared_ptr<InstanceState>;

// A room: its members in entry order. Guarded by the engine lock.
struct Room {
    std::string key;                   // app id and room id, see the registry
    std::vector<InstancePtr> members;  // in entry order
};

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_INSTANCE_STATE_H_
