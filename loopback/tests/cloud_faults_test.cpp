// Media faults through rooms: seeded loss per kind, delay on the SDK clock with order kept
// (SEI and pulled audio included), and the network quality the faults leave.
#include <string>
#include <vector>

#include "cloud_test_support.h"

namespace {

using namespace cloud_test;
using ostrel::loopback::set_payload;

VideoFrame key_frame(uint32_t pts) {
    VideoFrame vf;
    const uint8_t nal[] = {0, 0, 0, 1, 0x65};
    set_payload(vf, nal, sizeof nal);
    vf.is_key_frame = true;
    vf.pts = pts;
    return vf;
}

// A sender with audio and video, and a receiver subscribed to both.
struct Pair {
    EventLog rs, rr;
    Cloud sender{&rs}, receiver{&rr};
    explicit Pair(const char* room, AudioObtainMethod method = AUDIO_OBTAIN_METHOD_CALLBACK) {
        // The sender's format: one frame each.
        EXPECT_EQ(receiver->EnterRoom(cloud_test::receiver("rx", room, 48000, 1, 10, method)), 0);
        EXPECT_EQ(sender->EnterRoom(params("tx", room)), 0);
        EXPECT_EQ(sender->CreateLocalAudioChannel(audio_channel(10)), 0);
        EXPECT_EQ(sender->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), 0);
        EXPECT_EQ(receiver->Subscribe("tx", STREAM_TYPE_VIDEO_HIGH), 0);
        EXPECT_TRUE(idle());
        rs.clear();
        rr.clear();
    }
    // Sends `n` audio and `n` video frames, pts 0, 1, ...; returns the pts of those received.
    std::vector<uint32_t> audio_received(uint32_t n) {
        rr.clear();
        for (uint32_t pts = 0; pts < n; ++pts) EXPECT_EQ(sender->SendAudioFrame(pcm_frame(48000, 1, 10, 3, pts)), 0);
        EXPECT_TRUE(idle());
        std::vector<uint32_t> out;
        for (const AudioFrame& f : rr.audio()) out.push_back(f.pts);
        return out;
    }
    size_t video_received(uint32_t n) {
        rr.clear();
        for (uint32_t pts = 0; pts < n; ++pts)
            EXPECT_EQ(sender->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, key_frame(pts)), 0);
        EXPECT_TRUE(idle());
        return rr.video().size();
    }
};

TEST(MediaFaults, SeededLossRepeatsAndKeepsToItsKind) {
    Pair room("loss");
    EXPECT_EQ(ostrel_loopback_media_loss("rx", 1.5, 0.0, 0, 0), -1);
    EXPECT_EQ(ostrel_loopback_media_loss("rx", 0.0, -0.1, 0, 0), -1);
    EXPECT_EQ(ostrel_loopback_media_loss("nobody", 0.5, 0.5, 0, 0), 0);

    ASSERT_EQ(ostrel_loopback_media_loss("rx", 0.25, 0.0, 1, 42), 1);
    // Batches stay below the 256 frames a receiver's queue holds, so that only the loss drops.
    const auto first = room.audio_received(200);
    ASSERT_EQ(ostrel_loopback_media_loss("rx", 0.25, 0.0, 1, 42), 1);
    const auto again = room.audio_received(200);
    EXPECT_EQ(first, again);  // the same frames lost
    EXPECT_GT(first.size(), 120u);
    EXPECT_LT(first.size(), 180u);
    for (size_t i = 1; i < first.size(); ++i) EXPECT_LT(first[i - 1], first[i]);
    ASSERT_EQ(ostrel_loopback_media_loss("rx", 0.25, 0.0, 1, 43), 1);
    EXPECT_NE(room.audio_received(200), first);
    EXPECT_EQ(room.video_received(50), 50u);  // audio loss leaves video alone

    ASSERT_EQ(ostrel_loopback_media_loss("rx", 0.0, 1.0, 0, 0), 1);
    EXPECT_EQ(room.video_received(50), 0u);
    EXPECT_EQ(room.audio_received(50).size(), 50u);
    ASSERT_EQ(ostrel_loopback_media_loss("rx", 0.0, 0.0, 0, 0), 1);  // cleared
    EXPECT_EQ(room.video_received(50), 50u);
}

TEST(MediaFaults, DelayOnTheSdkClockKeepsOrder) {
    FrozenClock clock;
    Pair room("delay");
    EXPECT_EQ(ostrel_loopback_media_delay("rx", -1, 0), -1);
    EXPECT_EQ(ostrel_loopback_media_delay("rx", 100, 3600 * 1000 + 1), -1);
    ASSERT_EQ(ostrel_loopback_media_delay("rx", 100, 0), 1);
    ASSERT_EQ(room.sender->SendSeiMessage(242, "meta", 4), 0);
    ASSERT_EQ(room.sender->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, key_frame(1)), 0);
    ASSERT_EQ(room.sender->SendAudioFrame(pcm_frame(48000, 1, 10, 3, 2)), 0);
    ASSERT_TRUE(clock.advance(99));
    EXPECT_TRUE(room.rr.events().empty());
    // A message is not media: it is not delayed.
    ASSERT_TRUE(room.sender->SendCustomCmdMsg(1, "m", 1, true, true));
    ASSERT_TRUE(idle());
    EXPECT_EQ(room.rr.events(), (std::vector<std::string>{"OnReceiveCustomCmdMsg tx 1 1 m"}));
    ASSERT_TRUE(clock.advance(1));
    EXPECT_EQ(room.rr.events(),
              (std::vector<std::string>{"OnReceiveCustomCmdMsg tx 1 1 m", "OnSeiMessageReceived tx 2 242 meta",
                                        "OnRemoteVideoFrameReceived tx 2", "OnRemoteAudioReceived tx"}));

    // With jitter frames arrive between 50 and 150 ms later, never out of order.
    room.rr.clear();
    ASSERT_EQ(ostrel_loopback_media_delay("rx", 100, 50), 1);
    for (uint32_t pts = 0; pts < 100; ++pts) ASSERT_EQ(room.sender->SendAudioFrame(pcm_frame(48000, 1, 10, 3, pts)), 0);
    ASSERT_TRUE(clock.advance(49));
    EXPECT_TRUE(room.rr.audio().empty());
    ASSERT_TRUE(clock.advance(60));
    const size_t early = room.rr.audio().size();
    EXPECT_GT(early, 0u);
    EXPECT_LT(early, 100u);
    ASSERT_TRUE(clock.advance(41));
    const auto frames = room.rr.audio();
    ASSERT_EQ(frames.size(), 100u);
    for (uint32_t i = 0; i < 100; ++i) EXPECT_EQ(frames[i].pts, i);

    // Cleared: new frames arrive at once, but only after those still on their way.
    ASSERT_EQ(ostrel_loopback_media_delay("rx", 200, 0), 1);
    ASSERT_EQ(room.sender->SendAudioFrame(pcm_frame(48000, 1, 10, 3, 500)), 0);
    ASSERT_EQ(ostrel_loopback_media_delay("rx", 0, 0), 1);
    ASSERT_EQ(room.sender->SendAudioFrame(pcm_frame(48000, 1, 10, 3, 501)), 0);
    ASSERT_TRUE(idle());
    EXPECT_EQ(room.rr.audio().size(), 100u);
    ASSERT_TRUE(clock.advance(200));
    ASSERT_EQ(room.rr.audio().size(), 102u);
    EXPECT_EQ(room.rr.audio()[100].pts, 500u);
    EXPECT_EQ(room.rr.audio()[101].pts, 501u);
    ASSERT_EQ(room.sender->SendAudioFrame(pcm_frame(48000, 1, 10, 3, 502)), 0);
    ASSERT_TRUE(idle());
    EXPECT_EQ(room.rr.audio().size(), 103u);
}

TEST(MediaFaults, DelayedPulledAudioAndMemberThatLeaves) {
    FrozenClock clock;
    Pair room("delay-pull", AUDIO_OBTAIN_METHOD_GET);
    ASSERT_EQ(ostrel_loopback_media_delay("rx", 40, 0), 1);
    ASSERT_EQ(room.sender->SendAudioFrame(pcm_frame(48000, 1, 10, 3, 9)), 0);
    AudioFrame out;
    EXPECT_EQ(room.receiver->GetAudioFrame(&out), ERR_READ_TRY_AGAIN);
    ASSERT_TRUE(clock.advance(40));
    ASSERT_EQ(room.receiver->GetAudioFrame(&out), 0);
    EXPECT_EQ(out.pts, 9u);

    // Frames on their way to a member that leaves never arrive, and the faults end with the stay.
    ASSERT_EQ(room.sender->SendAudioFrame(pcm_frame(48000, 1, 10, 3, 10)), 0);
    ASSERT_EQ(room.receiver->ExitRoom(), 0);
    ASSERT_EQ(room.receiver->EnterRoom(receiver("rx", "delay-pull", 48000, 1, 10, AUDIO_OBTAIN_METHOD_GET)), 0);
    ASSERT_TRUE(clock.advance(40));
    EXPECT_EQ(room.receiver->GetAudioFrame(&out), ERR_READ_TRY_AGAIN);
    ASSERT_EQ(room.sender->SendAudioFrame(pcm_frame(48000, 1, 10, 3, 11)), 0);
    ASSERT_EQ(room.receiver->GetAudioFrame(&out), 0);
    EXPECT_EQ(out.pts, 11u);
}

TEST(MediaFaults, QualityReportsFollowTheFaults) {
    FrozenClock clock;
    QualityReports reports(1000);
    Pair room("fault-quality");
    auto last_report = [&] {
        room.rr.clear();
        EXPECT_TRUE(clock.advance(1000));
        const auto lines = room.rr.matching("OnNetworkQuality");
        return lines.empty() ? std::string() : lines.back();
    };
    EXPECT_EQ(last_report(), "OnNetworkQuality rx:1 tx:1");
    ASSERT_EQ(ostrel_loopback_media_loss("rx", 0.03, 0.0, 1, 1), 1);
    EXPECT_EQ(last_report(), "OnNetworkQuality rx:2 tx:1");  // 1 to 5 % loss: good
    ASSERT_EQ(ostrel_loopback_media_loss("rx", 0.0, 0.12, 1, 1), 1);
    EXPECT_EQ(last_report(), "OnNetworkQuality rx:4 tx:1");  // 10 to 20 %: bad
    ASSERT_EQ(ostrel_loopback_media_loss("rx", 0.0, 0.0, 0, 0), 1);
    ASSERT_EQ(ostrel_loopback_media_delay("rx", 250, 100), 1);
    EXPECT_EQ(last_report(), "OnNetworkQuality rx:3 tx:1");  // 200 to 400 ms: poor
    ASSERT_EQ(ostrel_loopback_set_network_quality("rx", NETWORK_QUALITY_VERY_BAD), 1);
    EXPECT_EQ(last_report(), "OnNetworkQuality rx:5 tx:1");  // the worse of the two
    ASSERT_EQ(ostrel_loopback_set_network_quality("rx", NETWORK_QUALITY_EXCELLENT), 1);
    ASSERT_EQ(ostrel_loopback_media_delay("rx", 2000, 0), 1);
    EXPECT_EQ(last_report(), "OnNetworkQuality rx:5 tx:1");
    ASSERT_EQ(ostrel_loopback_media_delay("rx", 0, 0), 1);
    EXPECT_EQ(last_report(), "OnNetworkQuality rx:1 tx:1");
}

}  // namespace
