// The SDK clock: its arithmetic, and rooms run on a frozen clock that the test moves: nothing
// timed happens by itself, an advance runs what falls due in time order (also what callbacks
// add on the way), and the same schedule gives the same callbacks at the same SDK times.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cloud_test_support.h"
#include "events/sdk_clock.h"
#include "events/service_thread.h"

namespace {

using namespace cloud_test;
using Lines = std::vector<std::string>;
using ostrel::loopback::events::SdkClock;
using ostrel::loopback::events::Service;

TEST(SdkClock, FreezesMovesOnlyForwardAndResumesWhereItStood) {
    using std::chrono::seconds;
    const SdkClock::time_point t0{seconds(100)};
    SdkClock clock;
    EXPECT_EQ(clock.now(t0), t0);  // real time by default
    clock.move_to(t0 + seconds(5));
    EXPECT_EQ(clock.now(t0), t0);  // a running clock is not moved by hand
    clock.freeze(t0);
    EXPECT_EQ(clock.now(t0 + seconds(7)), t0);
    clock.move_to(t0 + seconds(3));
    clock.move_to(t0 + seconds(1));  // never back
    clock.freeze(t0 + seconds(9));   // already frozen: stays
    EXPECT_EQ(clock.now(t0 + seconds(9)), t0 + seconds(3));
    clock.resume(t0 + seconds(10));  // runs on from +3, 7 s behind real time
    EXPECT_EQ(clock.now(t0 + seconds(12)), t0 + seconds(5));
    EXPECT_EQ(clock.real_time_of(t0 + seconds(5)), t0 + seconds(12));
    clock.resume(t0 + seconds(20));  // already running: no jump
    EXPECT_EQ(clock.now(t0 + seconds(20)), t0 + seconds(13));
}

TEST(CloudClock, FrozenNothingTimedHappensAndAdvanceRunsWhatIsDueInOrder) {
    FrozenClock clock;
    QualityReports reports(1000);
    EventLog ra, rb;
    Cloud a(&ra), b(&rb);
    ASSERT_TRUE(enter_alice_and_bob(a, b, "frozen"));
    ra.clear();
    rb.clear();
    const int64_t start = ostrel_loopback_clock_now_ms();
    ASSERT_EQ(ostrel_loopback_disconnect("bob", 1500), 1);
    // Due in 10 ms of SDK time, which does not pass however long the test waits.
    ASSERT_EQ(ostrel_loopback_disconnect("alice", 10), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(idle());
    EXPECT_EQ(ostrel_loopback_clock_now_ms(), start);
    EXPECT_EQ(rb.events(), (Lines{"OnConnectionStateChanged 3 1", "OnConnectionStateChanged 1 2"}));
    EXPECT_FALSE(ra.has("OnConnectionStateChanged 2 3"));
    EXPECT_TRUE(ra.matching("OnNetworkQuality").empty());

    EXPECT_EQ(ostrel_loopback_clock_next_due_ms(), 10);  // alice's reconnect
    rb.clear();
    ASSERT_TRUE(clock.advance(999));
    EXPECT_TRUE(rb.events().empty());
    ASSERT_TRUE(clock.advance(2001));
    EXPECT_EQ(ostrel_loopback_clock_now_ms(), start + 3000);
    // Returned with everything delivered: the reports at 1, 2 and 3 s, the reconnect at 1.5 s.
    EXPECT_EQ(rb.events(), (Lines{"OnNetworkQuality bob:6 alice:1", "OnConnectionStateChanged 2 3",
                                  "OnNetworkQuality bob:1 alice:1", "OnNetworkQuality bob:1 alice:1"}));
    EXPECT_EQ(ostrel_loopback_clock_advance(-1, 1.0), -1);
}

TEST(CloudClock, WorkThatCallbacksAddDuringAnAdvanceRunsInIt) {
    FrozenClock clock;
    EventLog rs, rr;
    Cloud s(&rs), r(&rr);
    ASSERT_EQ(s->EnterRoom(params("talker", "callback-work")), 0);
    ASSERT_EQ(s->CreateLocalAudioChannel(audio_channel(20)), 0);
    ASSERT_EQ(r->EnterRoom(params("ear", "callback-work")), 0);
    ASSERT_TRUE(idle());
    // A report makes the talker queue three paced frames, 20 ms apart from the report's time.
    std::atomic<bool> sent{false};
    rs.hook = [&](const std::string& line) {
        if (line.rfind("OnNetworkQuality", 0) != 0 || sent.exchange(true)) return;
        for (uint32_t pts = 0; pts < 3; ++pts) s->SendContinuousAudioFrame(pcm_frame(48000, 1, 20, 7, pts), false);
    };
    QualityReports reports(500);
    ASSERT_TRUE(clock.advance(520));  // report at 500, frames at 500 and 520
    EXPECT_EQ(rr.matching("OnRemoteAudioReceived").size(), 2u);
    ASSERT_TRUE(clock.advance(19));
    EXPECT_EQ(rr.matching("OnRemoteAudioReceived").size(), 2u);
    ASSERT_TRUE(clock.advance(1));
    EXPECT_EQ(rr.matching("OnRemoteAudioReceived").size(), 3u);
    rs.hook = nullptr;
}

// Work posted for the current time may already be running when a step begins (the service
// thread takes it at once); the step waits for it before it moves the clock on.
TEST(CloudClock, AStepFinishesWorkTheThreadHasAlreadyTaken) {
    FrozenClock clock;
    Service& service = Service::get();
    std::mutex m;
    std::condition_variable cv;
    bool started = false, release = false;
    std::vector<std::string> order;
    const auto start = service.now();
    service.post_at(start, [&] {
        std::unique_lock<std::mutex> lock(m);
        started = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        order.push_back("task");
        cv.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return started; });
    }
    std::thread stepper([&] {
        const auto step = service.step_to(start + std::chrono::milliseconds(20), Service::Clock::now() + kTimeout);
        std::lock_guard<std::mutex> lock(m);
        order.push_back(step == Service::Step::timed_out ? "timed out" : "step");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // room for a step that does not wait
    EXPECT_TRUE(service.due_by(start));
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    stepper.join();
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return order.size() == 2; });  // the task's captures outlive it
    EXPECT_EQ(order, (Lines{"task", "step"}));
}

// Two minutes of a room on the frozen clock: each callback with the SDK time it ran at.
Lines timed_schedule(const std::string& room) {
    FrozenClock clock;
    QualityReports reports(2000);
    EventLog ra, rb;
    Cloud a(&ra), b(&rb);
    const int64_t start = ostrel_loopback_clock_now_ms();
    Lines timed;
    std::mutex timed_mutex;
    auto stamp = [&](const char* who) {
        return [&, who](const std::string& line) {
            std::lock_guard<std::mutex> lock(timed_mutex);
            timed.push_back(std::to_string(ostrel_loopback_clock_now_ms() - start) + " " + who + " " + line);
        };
    };
    ra.hook = stamp("a");
    rb.hook = stamp("b");
    EXPECT_EQ(a->EnterRoom(params("p", room.c_str())), 0);
    EXPECT_EQ(b->EnterRoom(params("q", room.c_str())), 0);
    EXPECT_TRUE(clock.advance(30000));
    EXPECT_EQ(ostrel_loopback_set_network_quality("q", NETWORK_QUALITY_BAD), 1);
    EXPECT_EQ(ostrel_loopback_disconnect("p", 4100), 1);
    EXPECT_TRUE(clock.advance(90000));
    ra.hook = nullptr;
    rb.hook = nullptr;
    EXPECT_EQ(ra.matching("OnNetworkQuality").size(), 60u);
    EXPECT_EQ(rb.matching("OnNetworkQuality").size(), 60u);
    // Each member's callbacks in their order of arrival; the members' threads interleave.
    Lines per_member;
    for (const char* who : {" a ", " b "}) {
        for (const std::string& t : timed) {
            if (t.find(who) != std::string::npos) per_member.push_back(t);
        }
    }
    return per_member;
}

TEST(CloudClock, SameScheduleSameCallbacksAtTheSameTimes) {
    const Lines first = timed_schedule("schedule-1");
    const Lines second = timed_schedule("schedule-2");
    EXPECT_EQ(first, second);
    // Spot checks: the disconnect at 30 s is reported until the reconnect at 34.1 s.
    auto has = [&](const std::string& line) { return std::find(first.begin(), first.end(), line) != first.end(); };
    EXPECT_TRUE(has("2000 a OnNetworkQuality p:1 q:1"));
    EXPECT_TRUE(has("32000 b OnNetworkQuality q:4 p:6"));
    EXPECT_TRUE(has("34100 a OnConnectionStateChanged 2 3"));
    EXPECT_TRUE(has("120000 a OnNetworkQuality p:1 q:4"));
}

// The test's thread freezes, moves and resumes the clock while the service thread paces audio
// on it and event threads deliver: frames keep their order and none is lost.
TEST(CloudClock, MovingTheClockWhileAudioIsPaced) {
    EventLog rs, rr;
    Cloud s(&rs), r(&rr);
    ASSERT_EQ(s->EnterRoom(params("pacer", "moving")), 0);
    ASSERT_EQ(s->CreateLocalAudioChannel(audio_channel(10)), 0);
    // The sender's format: one frame each.
    ASSERT_EQ(r->EnterRoom(receiver("listener", "moving", 48000, 1, 10)), 0);
    constexpr uint32_t kFrames = 200;
    for (uint32_t pts = 0; pts < kFrames; ++pts) {
        ASSERT_EQ(s->SendContinuousAudioFrame(pcm_frame(48000, 1, 10, 1, pts * 10), false), 0);
    }
    for (int round = 0; round < 40; ++round) {
        ostrel_loopback_clock_freeze();
        ASSERT_EQ(ostrel_loopback_clock_advance(round % 3 * 10, 10.0), 1);
        (void)ostrel_loopback_clock_now_ms();
        ostrel_loopback_clock_resume();
        ASSERT_EQ(ostrel_loopback_clock_advance(15, 10.0), 1);  // on a running clock: a jump
    }
    ASSERT_TRUE(rr.wait_count("OnRemoteAudioReceived", kFrames));
    const auto frames = rr.audio();
    ASSERT_EQ(frames.size(), kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) EXPECT_EQ(frames[i].pts, i * 10);
}

}  // namespace
