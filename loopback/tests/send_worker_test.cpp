// The send workers: a stream's delivery work runs on a thread of its own, in order, bounded by
// dropping the oldest waiting frames; waits for idle include it, and ending a worker while it is
// busy neither hangs nor runs what was still queued. Then the same through the rooms: a video
// stream codes a key frame after a drop, and a sender destroyed while its worker encodes.
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cloud_test_support.h"
#include "events/event.h"
#include "events/sdk_counters.h"
#include "events/send_worker.h"
#include "events/service_thread.h"

namespace {

using namespace cloud_test;
using ostrel::loopback::set_payload;
using ostrel::loopback::events::SendWorker;
namespace events = ostrel::loopback::events;

SendWorker::Clock::time_point soon() { return SendWorker::Clock::now() + kTimeout; }

// What the jobs of one test ran, in order, and the after_drop flag each got.
struct Runs {
    std::mutex mutex;          // guards both lists
    std::vector<int> jobs;     // numbers of the jobs that ran
    std::vector<int> flagged;  // those told that jobs before them were dropped

    SendWorker::Job job(int n) {
        return [this, n](bool after_drop) {
            std::lock_guard<std::mutex> lock(mutex);
            jobs.push_back(n);
            if (after_drop) flagged.push_back(n);
        };
    }
    std::vector<int> ran() {
        std::lock_guard<std::mutex> lock(mutex);
        return jobs;
    }
};

// Posts a job that holds the worker until the gate opens, and waits until it runs.
void hold(SendWorker& worker, Gate& gate) {
    worker.post([&gate](bool) { gate.wait(); }, 0);
    ASSERT_TRUE(gate.wait_entered());
}

TEST(SendWorker, RunsInOrderDropsTheOldestBeyondTheBoundsAndFlagsTheNextJob) {
    SendWorker worker = SendWorker::start("test", 0);
    Runs runs;
    Gate gate;
    hold(worker, gate);
    const uint64_t dropped_before = events::total_send_dropped();
    const int posted = static_cast<int>(events::kMaxQueuedFrames) + 44;
    for (int n = 1; n <= posted; ++n) worker.post(runs.job(n), 1);
    gate.release();
    ASSERT_TRUE(worker.backlog().wait_until(soon()));
    std::vector<int> expected;
    for (int n = 45; n <= posted; ++n) expected.push_back(n);
    EXPECT_EQ(runs.ran(), expected);
    EXPECT_EQ(runs.flagged, std::vector<int>{45});
    EXPECT_EQ(events::total_send_dropped() - dropped_before, 44u);

    // By bytes: the oldest go until the rest fit; the newest stays however large.
    Gate second;
    hold(worker, second);
    const size_t big = events::kMaxQueuedFrameBytes / 2 + 1;
    worker.post(runs.job(1001), big);
    worker.post(runs.job(1002), big);                               // 1001 goes
    worker.post(runs.job(1003), 10);                                // fits beside 1002
    worker.post(runs.job(1004), events::kMaxQueuedFrameBytes + 1);  // alone, all others go
    second.release();
    ASSERT_TRUE(worker.backlog().wait_until(soon()));
    EXPECT_EQ(runs.ran().back(), 1004);
    EXPECT_EQ(runs.ran()[runs.ran().size() - 2], posted);
    EXPECT_EQ(events::total_send_dropped() - dropped_before, 47u);
    worker.join();
}

TEST(SendWorker, BacklogWaitsForTheRunningJobAndAJobThatThrowsEndsNothing) {
    SendWorker worker = SendWorker::start("test", 0);
    Runs runs;
    Gate gate;
    hold(worker, gate);
    worker.post([](bool) { throw std::runtime_error("job failed"); }, 0);
    worker.post(runs.job(1), 0);
    const SendWorker::Backlog backlog = worker.backlog();
    EXPECT_FALSE(backlog.wait_until(SendWorker::Clock::now() + std::chrono::milliseconds(20)));
    gate.release();
    ASSERT_TRUE(backlog.wait_until(soon()));
    EXPECT_EQ(runs.ran(), std::vector<int>{1});
    // A job posted later is not part of an earlier backlog, and a job may wait for its own worker.
    std::atomic<bool> waited{false};
    std::atomic<int> policy{-1};
    worker.post(
        [&](bool) {
            waited = backlog.wait_until(soon()) && worker.backlog().wait_until(soon());
            policy = sched_getscheduler(0);
        },
        0);
    ASSERT_TRUE(worker.backlog().wait_until(soon()));
    EXPECT_TRUE(waited);
    // A batch thread, which a send's wake-up does not run first.
    EXPECT_EQ(policy, SCHED_BATCH);
    worker.join();
}

TEST(SendWorker, EndingABusyWorkerWaitsForItsJobAndDiscardsTheQueue) {
    events::Service::get().start();  // the reaper, counted from here on
    const int threads_before = events::sdk_threads();
    Runs runs;
    {
        // Joined: the running job finishes, the queued ones never run, the thread is gone.
        SendWorker worker = SendWorker::start("test", 0);
        EXPECT_EQ(events::sdk_threads(), threads_before + 1);
        Gate gate;
        hold(worker, gate);
        for (int n = 1; n <= 5; ++n) worker.post(runs.job(n), 0);
        std::thread opener([&gate] {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            gate.release();
        });
        worker.join();
        opener.join();
        EXPECT_EQ(events::sdk_threads(), threads_before);
        worker.post(runs.job(6), 0);  // refused once ended
        EXPECT_TRUE(worker.backlog().wait_until(soon()));
    }
    {
        // Dropped without join (a stream ended under the engine lock): the reaper joins it later.
        Gate gate;
        {
            SendWorker worker = SendWorker::start("test", 0);
            hold(worker, gate);
            worker.post(runs.job(7), 0);
        }
        gate.release();
        const auto deadline = soon();
        while (events::sdk_threads() != threads_before && SendWorker::Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(events::sdk_threads(), threads_before);
    }
    EXPECT_TRUE(runs.ran().empty());
}

// An RGBA picture larger than a worker's byte bound, so that each one queued behind a busy
// worker pushes out the one waiting before it.
PixelFrame huge_frame(uint32_t pts) {
    constexpr uint32_t kWidth = 4096, kHeight = 2160;
    static const std::vector<uint8_t> rgba = [] {
        // Byte i is i * 7 / 4096 (mod 256): runs of one value, each filled at once rather than
        // byte by byte, which takes seconds under an emulator with a sanitizer.
        std::vector<uint8_t> bytes(size_t{kWidth} * kHeight * 4);
        for (size_t i = 0; i < bytes.size();) {
            const size_t value = i * 7 / 4096, end = std::min(bytes.size(), ((value + 1) * 4096 + 6) / 7);
            std::fill(bytes.begin() + i, bytes.begin() + end, static_cast<uint8_t>(value));
            i = end;
        }
        return bytes;
    }();
    PixelFrame f;
    f.width = kWidth;
    f.height = kHeight;
    f.format = VIDEO_PIXEL_FORMAT_RGBA;
    f.pts = pts;
    set_payload(f, rgba.data(), rgba.size());
    return f;
}

// A camera sending pixel frames and a viewer that wants them as H.264, in one room.
struct CameraAndViewer {
    EventLog rs, rv;
    Cloud s{&rs}, viewer{&rv};
    explicit CameraAndViewer(const char* room) {
        EnterRoomParams ps = params("cam", room);
        ps.use_pixel_frame_input = true;
        EXPECT_EQ(s->EnterRoom(ps), 0);
        EXPECT_EQ(viewer->EnterRoom(params("viewer", room)), 0);
        EXPECT_EQ(viewer->Subscribe("cam", STREAM_TYPE_VIDEO_HIGH), 0);
        EXPECT_EQ(s->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), 0);
    }
};

TEST(CloudSendWorker, AVideoStreamCodesAKeyFrameAfterADrop) {
    CameraAndViewer room("send-drop");
    Cloud& s = room.s;
    const uint64_t dropped_before = ostrel_loopback_send_dropped();
    // Each send returns once the frame is queued; the worker encodes one while the next ones
    // queue up behind it and push each other out.
    constexpr uint32_t kSent = 8;
    for (uint32_t n = 0; n < kSent; ++n) ASSERT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, huge_frame(n)), 0);
    ASSERT_TRUE(idle());
    const uint64_t dropped = ostrel_loopback_send_dropped() - dropped_before;
    const std::vector<VideoFrame> got = room.rv.video();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.size() + dropped, kSent);
    EXPECT_EQ(got.back().pts, kSent - 1);  // the newest is always kept
    uint32_t expected = 0;
    for (const VideoFrame& f : got) {
        SCOPED_TRACE(f.pts);
        EXPECT_GE(f.pts, expected);  // in order
        EXPECT_EQ(f.is_key_frame, f.pts == 0 || f.pts != expected) << "a frame after a gap must be a key frame";
        expected = f.pts + 1;
    }
}

TEST(CloudSendWorker, SendersLeaveAndGoWhileTheirWorkersEncode) {
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "Destroy" : "ExitRoom");
        CameraAndViewer room("send-teardown");
        Cloud& s = room.s;
        const int threads_before = ostrel_loopback_sdk_threads();  // without the worker
        for (uint32_t n = 0; n < 3; ++n) ASSERT_EQ(s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, huge_frame(n)), 0);
        if (destroy) {
            s.destroy();
        } else {
            ASSERT_EQ(s->ExitRoom(), 0);
        }
        // Its workers are joined by then, and nothing of the stream arrives after its end.
        EXPECT_EQ(ostrel_loopback_sdk_threads(), threads_before - (destroy ? 1 : 0));
        EXPECT_EQ(ostrel_loopback_codecs(2), 0);
        ASSERT_TRUE(idle());
        const std::vector<std::string> seen = room.rv.events();
        bool left = false;
        for (const std::string& e : seen) {
            if (e.rfind("OnRemoteUserExitRoom cam", 0) == 0) left = true;
            EXPECT_FALSE(left && e.rfind("OnRemoteVideoFrameReceived", 0) == 0) << "a frame after the sender left";
        }
        EXPECT_TRUE(left);
    }
}

}  // namespace
