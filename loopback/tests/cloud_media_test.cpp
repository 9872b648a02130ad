// Media between members: audio conversion, mixing and GetAudioFrame, paced audio, voice
// detection, video subscriptions, pixel/encoded forms, SEI, and the bound on queued frames.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "cloud_test_support.h"

namespace {

using namespace cloud_test;
using ostrel::loopback::frame_payload;
using ostrel::loopback::set_payload;

TEST(CloudMedia, AudioValidationAndConversionPerReceiver) {
    EventLog rs, r16, r48;
    Cloud s(&rs), a(&r16), b(&r48);
    ASSERT_EQ(s->EnterRoom(params("speaker", "audio")), 0);
    EXPECT_EQ(s->SendAudioFrame(pcm_frame(48000, 1, 20, 1)), ERR_INVALID_OPERATION);  // no channel yet
    ASSERT_EQ(a->EnterRoom(receiver("narrow", "audio", 16000, 1, 20)), 0);
    ASSERT_EQ(b->EnterRoom(receiver("wide", "audio", 48000, 2, 10)), 0);
    AudioEncodeParams bad;
    bad.sample_rate = 22050;
    EXPECT_EQ(s->CreateLocalAudioChannel(bad), ERR_INVALID_PARAMETER);
    bad = AudioEncodeParams();
    bad.channels = 3;
    EXPECT_EQ(s->CreateLocalAudioChannel(bad), ERR_INVALID_PARAMETER);
    bad = AudioEncodeParams();
    bad.frame_length_ms = 25;
    EXPECT_EQ(s->CreateLocalAudioChannel(bad), ERR_INVALID_PARAMETER);
    ASSERT_EQ(s->CreateLocalAudioChannel(AudioEncodeParams()), 0);  // 48 kHz mono 20 ms
    EXPECT_EQ(s->CreateLocalAudioChannel(AudioEncodeParams()), ERR_INVALID_OPERATION);

    EXPECT_EQ(s->SendAudioFrame(pcm_frame(16000, 1, 20, 1)), ERR_INVALID_PARAMETER);  // wrong rate
    EXPECT_EQ(s->SendAudioFrame(pcm_frame(48000, 2, 20, 1)), ERR_INVALID_PARAMETER);  // wrong channels
    EXPECT_EQ(s->SendAudioFrame(pcm_frame(48000, 1, 10, 1)), ERR_INVALID_PARAMETER);  // wrong length
    AudioFrame opus = pcm_frame(48000, 1, 20, 1);
    opus.codec = AUDIO_CODEC_TYPE_OPUS;
    EXPECT_EQ(s->SendAudioFrame(opus), ERR_INVALID_PARAMETER);

    for (uint32_t i = 0; i < 5; ++i) ASSERT_EQ(s->SendAudioFrame(pcm_frame(48000, 1, 20, 1000, i * 20)), 0);
    ASSERT_TRUE(idle());
    const auto narrow = r16.audio();
    ASSERT_GE(narrow.size(), 4u);
    for (const AudioFrame& f : narrow) {
        EXPECT_EQ(f.sample_rate, 16000);
        EXPECT_EQ(f.channels, 1);
        EXPECT_EQ(frame_payload(f).size(), 320u * 2);
    }
    EXPECT_EQ(samples_of(narrow[1])[100], 1000);  // a constant signal stays constant
    const auto wide = r48.audio();
    ASSERT_EQ(wide.size(), 10u);  // 10 ms frames: twice as many
    for (size_t i = 0; i < wide.size(); ++i) {
        EXPECT_EQ(frame_payload(wide[i]).size(), 480u * 2 * 2);
        EXPECT_EQ(wide[i].pts, i * 10);
    }
    EXPECT_EQ(r16.matching("OnRemoteAudioReceived speaker").size(), narrow.size());
    EXPECT_TRUE(rs.matching("OnRemoteAudio").empty());

    // Unsubscribed audio stops.
    ASSERT_EQ(a->Unsubscribe("speaker", STREAM_TYPE_AUDIO), 0);
    r16.clear();
    ASSERT_EQ(s->SendAudioFrame(pcm_frame(48000, 1, 20, 1000)), 0);
    ASSERT_TRUE(idle());
    EXPECT_TRUE(r16.audio().empty());
}

TEST(CloudMedia, MixedAndPulledAudio) {
    EventLog r1, r2, rm, rg;
    Cloud s1(&r1), s2(&r2), mixer(&rm), puller(&rg);
    ASSERT_EQ(mixer->EnterRoom(receiver("mixer", "mix", 16000, 1, 20, AUDIO_OBTAIN_METHOD_CALLBACK, true)), 0);
    ASSERT_EQ(puller->EnterRoom(receiver("puller", "mix", 16000, 1, 20, AUDIO_OBTAIN_METHOD_GET)), 0);
    ASSERT_EQ(s1->EnterRoom(params("one", "mix")), 0);
    ASSERT_EQ(s2->EnterRoom(params("two", "mix")), 0);
    AudioEncodeParams p16;
    p16.sample_rate = 16000;
    ASSERT_EQ(s1->CreateLocalAudioChannel(p16), 0);
    ASSERT_EQ(s2->CreateLocalAudioChannel(p16), 0);

    AudioFrame out;
    EXPECT_EQ(puller->GetAudioFrame(&out), ERR_READ_TRY_AGAIN);
    EXPECT_EQ(puller->GetAudioFrame(nullptr), ERR_INVALID_PARAMETER);

    ASSERT_EQ(s1->SendAudioFrame(pcm_frame(16000, 1, 20, 100)), 0);
    ASSERT_EQ(s2->SendAudioFrame(pcm_frame(16000, 1, 20, 30)), 0);
    ASSERT_TRUE(idle());
    const auto mixed = rm.audio();
    ASSERT_EQ(mixed.size(), 1u);
    EXPECT_EQ(rm.matching("OnRemoteMixedAudioReceived").size(), 1u);
    EXPECT_EQ(samples_of(mixed[0])[5], 130);

    ASSERT_EQ(puller->GetAudioFrame(&out), 0);
    EXPECT_EQ(out.sample_rate, 16000);
    EXPECT_EQ(samples_of(out)[0], 100);
    ASSERT_EQ(puller->GetAudioFrame(&out), 0);
    EXPECT_EQ(samples_of(out)[0], 30);
    EXPECT_EQ(puller->GetAudioFrame(&out), ERR_READ_TRY_AGAIN);

    // The pull queue is bounded: the oldest frames give way.
    const unsigned long long dropped = ostrel_loopback_dropped();
    for (int i = 0; i < 150; ++i) ASSERT_EQ(s1->SendAudioFrame(pcm_frame(16000, 1, 20, static_cast<int16_t>(i))), 0);
    EXPECT_EQ(ostrel_loopback_dropped() - dropped, 50u);
    ASSERT_EQ(puller->GetAudioFrame(&out), 0);
    EXPECT_EQ(samples_of(out)[0], 50);
}

TEST(CloudMedia, ContinuousAudioIsPacedAndVoiceDetected) {
    EventLog rs, rr;
    Cloud s(&rs), r(&rr);
    ASSERT_EQ(r->EnterRoom(receiver("ear", "paced", 48000, 1, 10)), 0);
    ASSERT_EQ(s->EnterRoom(params("mouth", "paced")), 0);
    ASSERT_EQ(s->CreateLocalAudioChannel(audio_channel(10)), 0);
    VADParams vad;
    vad.enable = true;
    s->EnableVoiceActivityDetection(vad);
    ASSERT_EQ(s->SendContinuousAudioFrame(pcm_frame(48000, 1, 10, 1, 0), false), 0);
    ASSERT_TRUE(rr.wait_count("OnRemoteAudioReceived", 1));
    // A new batch replaces what is still queued.
    for (uint32_t i = 0; i < 20; ++i)
        ASSERT_EQ(s->SendContinuousAudioFrame(pcm_frame(48000, 1, 10, 0, i + 1), false), 0);
    ASSERT_EQ(s->SendContinuousAudioFrame(pcm_frame(48000, 1, 10, 5000, 100), true), 0);
    ASSERT_EQ(s->SendContinuousAudioFrame(pcm_frame(48000, 1, 10, 5000, 101), false), 0);
    ASSERT_TRUE(eventually([&] {
        const auto a = rr.audio();
        return !a.empty() && a.back().pts == 101;
    }));
    const auto frames = rr.audio();
    EXPECT_FALSE(frames.front().has_voice);  // quiet
    EXPECT_TRUE(frames.back().has_voice);    // loud
    for (size_t i = 1; i < frames.size(); ++i) EXPECT_LT(frames[i - 1].pts, frames[i].pts);
    EXPECT_LT(frames.size(), 22u);  // the cleared frames were never sent in full
}

TEST(CloudMedia, VideoNeedsSubscriptionAndMatchingForm) {
    EventLog rs, re, rp, rn;
    Cloud s(&rs), enc(&re), pix(&rp), none(&rn);
    ASSERT_EQ(s->EnterRoom(params("cam", "video")), 0);
    EXPECT_EQ(s->CreateLocalVideoChannel(STREAM_TYPE_AUDIO), ERR_INVALID_PARAMETER);
    EXPECT_EQ(s->CreateLocalVideoChannel(static_cast<StreamType>(4)), ERR_INVALID_PARAMETER);
    ASSERT_EQ(s->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), 0);
    ASSERT_EQ(enc->EnterRoom(params("enc", "video")), 0);
    ASSERT_EQ(pix->EnterRoom(pixel_viewer("pix", "video")), 0);
    ASSERT_EQ(none->EnterRoom(params("none", "video")), 0);
    ASSERT_EQ(enc->Subscribe("cam", STREAM_TYPE_VIDEO_HIGH), 0);
    ASSERT_EQ(pix->Subscribe("cam", STREAM_TYPE_VIDEO_HIGH), 0);
    ASSERT_TRUE(rs.wait_count("OnRequestKeyFrame 2", 2));  // one per new subscriber

    VideoFrame empty;
    EXPECT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, empty), ERR_INVALID_PARAMETER);
    VideoFrame vf;
    const uint8_t nal[] = {0, 0, 0, 1, 0x65};
    set_payload(vf, nal, sizeof nal);
    vf.is_key_frame = true;
    EXPECT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_LOW, vf), ERR_INVALID_OPERATION);  // no such channel
    PixelFrame px;
    EXPECT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, px), ERR_INVALID_OPERATION);  // sender sends encoded

    EXPECT_EQ(s->SendSeiMessage(4, "x", 1), ERR_INVALID_PARAMETER);
    EXPECT_EQ(s->SendSeiMessage(255, "x", 1), ERR_INVALID_PARAMETER);
    EXPECT_EQ(s->SendSeiMessage(5, "", 0), ERR_INVALID_PARAMETER);
    const std::string big(1001, 's');
    EXPECT_EQ(s->SendSeiMessage(100, big.data(), big.size()), ERR_INVALID_PARAMETER);
    EXPECT_EQ(s->SendSeiMessage(242, "meta", 4), 0);
    EXPECT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, vf), 0);
    ASSERT_TRUE(idle());
    EXPECT_EQ(re.matching("OnSeiMessageReceived").size(), 1u);
    const auto ev = re.events();
    EXPECT_EQ(ev[ev.size() - 2], "OnSeiMessageReceived cam 2 242 meta");  // right before the frame
    EXPECT_EQ(ev.back(), "OnRemoteVideoFrameReceived cam 2");
    ASSERT_EQ(re.video().size(), 1u);
    EXPECT_TRUE(re.video()[0].is_key_frame);
    EXPECT_EQ(frame_payload(re.video()[0]).size(), sizeof nal);
    // A pixel receiver does not get encoded frames; an unsubscribed member gets nothing.
    EXPECT_TRUE(rp.matching("OnRemote"
                            "PixelFrameReceived")
                    .empty());
    EXPECT_TRUE(rp.matching("OnRemoteVideoFrameReceived").empty());
    EXPECT_TRUE(rp.has("OnSeiMessageReceived cam 2 242 meta"));
    EXPECT_TRUE(rn.matching("OnRemoteVideo"
                            "FrameReceived")
                    .empty());
    EXPECT_TRUE(rn.matching("OnSei").empty());

    // Without a video channel SEI has nowhere to go.
    ASSERT_EQ(s->DestroyLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), 0);
    EXPECT_EQ(s->DestroyLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), ERR_INVALID_OPERATION);
    EXPECT_EQ(s->SendSeiMessage(5, "x", 1), ERR_INVALID_OPERATION);
}

TEST(CloudMedia, PixelFramesAreSizeChecked) {
    EventLog rs, rp;
    Cloud s(&rs), pix(&rp);
    EnterRoomParams ps = params("painter", "pixels");
    ps.use_pixel_frame_input = true;
    ASSERT_EQ(s->EnterRoom(ps), 0);
    ASSERT_EQ(pix->EnterRoom(pixel_viewer("viewer", "pixels")), 0);
    ASSERT_EQ(pix->Subscribe("painter", STREAM_TYPE_VIDEO_AUX), 0);  // before the stream exists
    ASSERT_EQ(s->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_AUX), 0);
    ASSERT_TRUE(rs.wait_line("OnRequestKeyFrame 7"));

    PixelFrame f;
    f.width = 4;
    f.height = 3;
    f.format = VIDEO_PIXEL_FORMAT_YUV420p;
    std::vector<uint8_t> yuv(4 * 3 + 2 * (2 * 2));
    set_payload(f, yuv.data(), yuv.size() - 1);
    EXPECT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_AUX, f), ERR_INVALID_PARAMETER);
    set_payload(f, yuv.data(), yuv.size());
    EXPECT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_AUX, f), 0);
    f.format = VIDEO_PIXEL_FORMAT_RGBA;
    EXPECT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_AUX, f), ERR_INVALID_PARAMETER);
    std::vector<uint8_t> rgba(4 * 3 * 4, 7);
    set_payload(f, rgba.data(), rgba.size());
    EXPECT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_AUX, f), 0);
    f.format = static_cast<VideoPixelFormat>(9);
    EXPECT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_AUX, f), ERR_INVALID_PARAMETER);
    VideoFrame encoded;
    set_payload(encoded, rgba.data(), 4);
    EXPECT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_AUX, encoded), ERR_INVALID_OPERATION);  // sender sends pixels
    ASSERT_TRUE(idle());
    const auto got = rp.pixels();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].format, VIDEO_PIXEL_FORMAT_RGBA);
    EXPECT_EQ(frame_payload(got[1]), rgba);
}

TEST(CloudMedia, SlowDelegateDropsOldestFramesButKeepsOtherEvents) {
    EventLog rs, rr;
    std::atomic<bool> open{false};
    rr.hook = [&](const std::string& line) {
        if (line == "OnRemoteVideoFrameReceived fast 2") {
            while (!open.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    Cloud s(&rs), r(&rr);
    ASSERT_EQ(s->EnterRoom(params("fast", "bounded")), 0);
    ASSERT_EQ(r->EnterRoom(params("slow", "bounded")), 0);
    ASSERT_EQ(s->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), 0);
    ASSERT_EQ(r->Subscribe("fast", STREAM_TYPE_VIDEO_HIGH), 0);
    VideoFrame vf;
    std::vector<uint8_t> payload(1000);
    const unsigned long long before = ostrel_loopback_dropped();
    for (uint32_t i = 0; i < 1000; ++i) {
        payload[0] = static_cast<uint8_t>(i);
        vf.pts = i;
        set_payload(vf, payload.data(), payload.size());
        ASSERT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, vf), 0);
        if (i == 500) {
            ASSERT_TRUE(s->SendCustomCmdMsg(1, "mid", 3, true, true));
        }
    }
    open = true;
    ASSERT_TRUE(idle());
    const auto frames = rr.video();
    const unsigned long long dropped = ostrel_loopback_dropped() - before;
    EXPECT_EQ(frames.size() + dropped, 1000u);
    EXPECT_LE(frames.size(), 257u);      // the bound, plus the one being delivered
    EXPECT_EQ(frames.back().pts, 999u);  // newest kept
    EXPECT_TRUE(rr.has("OnReceiveCustomCmdMsg fast 1 1 mid"));
}

TEST(CloudMedia, FrameLargerThanTheByteBoundReachesTheReceiverAndOnlyTheNewestWaits) {
    EventLog rs, rr;
    std::atomic<bool> open{true};
    rr.hook = [&](const std::string& line) {
        if (line.rfind("OnRemotePixelFrameReceived", 0) == 0) {
            while (!open.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    Cloud s(&rs), r(&rr);
    EnterRoomParams ps = params("uhd", "large");
    ps.use_pixel_frame_input = true;
    EnterRoomParams pr = params("viewer", "large");
    pr.use_pixel_frame_output = true;
    ASSERT_EQ(s->EnterRoom(ps), 0);
    ASSERT_EQ(r->EnterRoom(pr), 0);
    ASSERT_EQ(s->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), 0);
    ASSERT_EQ(r->Subscribe("uhd", STREAM_TYPE_VIDEO_HIGH), 0);
    ASSERT_TRUE(idle());
    PixelFrame f;
    f.width = 4096;
    f.height = 2160;
    f.format = VIDEO_PIXEL_FORMAT_RGBA;
    std::vector<uint8_t> rgba(size_t{4096} * 2160 * 4);  // 33.75 MiB, above the 32 MiB bound
    auto send = [&](uint32_t pts) {
        f.pts = pts;
        set_payload(f, rgba.data(), rgba.size());
        return s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, f);
    };
    const unsigned long long before = ostrel_loopback_dropped();
    ASSERT_EQ(send(1), 0);  // to an idle receiver
    ASSERT_TRUE(idle());
    ASSERT_EQ(rr.pixels().size(), 1u);
    EXPECT_EQ(frame_payload(rr.pixels()[0]).size(), rgba.size());

    open = false;  // the receiver now sits in the callback of frame 2 while 3 and 4 arrive
    ASSERT_EQ(send(2), 0);
    ASSERT_TRUE(eventually([&] { return ostrel_loopback_callbacks_running() == 1; }));
    ASSERT_EQ(send(3), 0);
    ASSERT_EQ(send(4), 0);
    open = true;
    ASSERT_TRUE(idle());
    std::vector<uint32_t> pts;
    for (const PixelFrame& got : rr.pixels()) pts.push_back(got.pts);
    EXPECT_EQ(pts, (std::vector<uint32_t>{1, 2, 4}));
    EXPECT_EQ(ostrel_loopback_dropped() - before, 1u);
}

TEST(CloudMedia, FramesAndEventsKeepTheirOrderWhileTheQueueGrowsUnderDelivery) {
    // The receiver is held twice: once so that a burst queues up, and again after it delivered
    // part of it, so that the next burst makes its half-consumed queues wrap around and grow.
    EventLog rs, rr;
    std::mutex m;
    std::condition_variable cv;
    std::string held;  // the line the receiver is held at, empty when running
    bool go = false;
    auto hold_at = [&](const std::string& line) {
        std::unique_lock<std::mutex> lock(m);
        held = line;
        go = false;
        cv.notify_all();
        cv.wait(lock, [&] { return go; });
        held.clear();
    };
    auto wait_held = [&](const std::string& line) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, kTimeout, [&] { return held == line; });
    };
    auto release = [&] {
        std::lock_guard<std::mutex> lock(m);
        go = true;
        cv.notify_all();
    };
    rr.hook = [&](const std::string& line) {
        if (line == "OnError 0" || line == "OnError 9") hold_at(line);
    };
    Cloud s(&rs), r(&rr);
    ASSERT_EQ(s->EnterRoom(params("burst-sender", "burst")), 0);
    ASSERT_EQ(r->EnterRoom(params("burst-receiver", "burst")), 0);
    ASSERT_EQ(s->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), 0);
    ASSERT_EQ(r->Subscribe("burst-sender", STREAM_TYPE_VIDEO_HIGH), 0);
    ASSERT_TRUE(idle());
    rr.clear();
    constexpr uint32_t kPairs = 240;  // below the frame bound: nothing is dropped
    VideoFrame vf;
    std::vector<uint8_t> payload(100);
    auto send_pairs = [&](uint32_t from, uint32_t to) {
        for (uint32_t i = from; i < to; ++i) {
            ASSERT_EQ(ostrel_loopback_raise_error("burst-receiver", static_cast<int>(i)), 1);
            vf.pts = i;
            set_payload(vf, payload.data(), payload.size());
            ASSERT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, vf), 0);
        }
    };
    send_pairs(0, 1);
    ASSERT_TRUE(wait_held("OnError 0"));
    send_pairs(1, 12);
    release();
    ASSERT_TRUE(wait_held("OnError 9"));
    send_pairs(12, kPairs);
    release();
    ASSERT_TRUE(idle());
    const auto lines = rr.events();
    ASSERT_EQ(lines.size(), 2 * kPairs);
    for (uint32_t i = 0; i < kPairs; ++i) {
        ASSERT_EQ(lines[2 * i], "OnError " + std::to_string(i));
        ASSERT_EQ(lines[2 * i + 1], "OnRemoteVideoFrameReceived burst-sender 2");
    }
    const auto frames = rr.video();
    ASSERT_EQ(frames.size(), kPairs);
    for (uint32_t i = 0; i < kPairs; ++i) EXPECT_EQ(frames[i].pts, i);
}

}  // namespace
