// Throughput and latency of event delivery in the loopback SDK's rooms, with a no-op delegate:
// - RoomOfTen: one member sends encoded video frames that the nine others subscribed to;
//   reports callbacks delivered per second.
// - Latency: 50 senders at 50 frames per second (2,500 events per second) to one subscriber;
//   reports the 50th and 99th percentile of the time from send to callback.
// - FrozenReports: two minutes of network-quality reports to a room of `n` members on a frozen
//   SDK clock (one report every 2 s), advanced in one call; reports the real time it takes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quiet_delegate.h"
#include "vonu/ostrel_vonu_cloud.h"

extern "C" {
int ostrel_loopback_wait_idle(double timeout_seconds);
void ostrel_loopback_set_quality_interval(int ms);
void ostrel_loopback_clock_freeze(void);
void ostrel_loopback_clock_resume(void);
int ostrel_loopback_clock_advance(int64_t ms, double timeout_seconds);
}

namespace {

using namespace ostrel::vonu;
using Clock = std::chrono::steady_clock;

class Quiet : public cloud_test::QuietDelegate {
public:
    std::atomic<uint64_t> frames{0};
    using QuietDelegate::OnRemoteVideoReceived;
    void OnRemoteVideoReceived(const char*, StreamType, const VideoFrame& f) override { on_frame(f); }

protected:
    virtual void on_frame(const VideoFrame&) { frames.fetch_add(1, std::memory_order_relaxed); }
};

// Keeps send-to-callback latencies; the send time travels in the frame's payload.
class Timing : public Quiet {
public:
    std::mutex mutex;
    std::vector<double> micros;

protected:
    void on_frame(const VideoFrame& f) override {
        const auto now = Clock::now().time_since_epoch().count();
        int64_t sent = 0;
        if (f.size() >= sizeof sent) std::memcpy(&sent, f.data(), sizeof sent);
        std::lock_guard<std::mutex> lock(mutex);
        micros.push_back(static_cast<double>(now - sent) / 1000.0);
    }
};

struct Member {
    std::unique_ptr<Quiet> delegate;
    VONUCloud* cloud = nullptr;
    ~Member() { VONUCloud::Destroy(cloud); }
};

EnterRoomParams enter(const std::string& user, const char* room) {
    EnterRoomParams p;
    p.room.sdk_app_id = 1;
    p.room.user_id = user.c_str();
    p.room.user_sig = "sig";
    p.room.str_room_id = room;
    return p;
}

void RoomOfTen(benchmark::State& state) {
    std::vector<Member> members(10);
    for (size_t i = 0; i < members.size(); ++i) {
        members[i].delegate = std::make_unique<Quiet>();
        members[i].cloud = VONUCloud::Create(members[i].delegate.get());
        members[i].cloud->EnterRoom(enter("m" + std::to_string(i), "bench-ten"));
    }
    members[0].cloud->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH);
    for (size_t i = 1; i < members.size(); ++i) members[i].cloud->Subscribe("m0", STREAM_TYPE_VIDEO_HIGH);
    ostrel_loopback_wait_idle(5.0);
    VideoFrame frame;
    std::vector<uint8_t> payload(1000, 0x42);
    frame.SetData(payload.data(), payload.size());
    uint64_t delivered = 0;
    const int batch = static_cast<int>(state.range(0));
    for (auto _ : state) {
        uint64_t before = 0;
        for (size_t i = 1; i < members.size(); ++i) before += members[i].delegate->frames.load();
        for (int n = 0; n < batch; ++n) members[0].cloud->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, frame);
        ostrel_loopback_wait_idle(30.0);
        uint64_t after = 0;
        for (size_t i = 1; i < members.size(); ++i) after += members[i].delegate->frames.load();
        delivered += after - before;
    }
    state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
    state.counters["events"] = static_cast<double>(delivered);
}
BENCHMARK(RoomOfTen)->Arg(200)->UseRealTime()->MinTime(2.0);

void Latency(benchmark::State& state) {
    constexpr int kSenders = 50;
    constexpr int kFps = 50;
    Timing timing;
    Member receiver;
    receiver.cloud = VONUCloud::Create(&timing);
    receiver.cloud->EnterRoom(enter("viewer", "bench-latency"));
    std::vector<Member> senders(kSenders);
    for (int i = 0; i < kSenders; ++i) {
        senders[i].delegate = std::make_unique<Quiet>();
        senders[i].cloud = VONUCloud::Create(senders[i].delegate.get());
        senders[i].cloud->EnterRoom(enter("s" + std::to_string(i), "bench-latency"));
        senders[i].cloud->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH);
        receiver.cloud->Subscribe(("s" + std::to_string(i)).c_str(), STREAM_TYPE_VIDEO_HIGH);
    }
    ostrel_loopback_wait_idle(5.0);
    {
        std::lock_guard<std::mutex> lock(timing.mutex);
        timing.micros.clear();
        timing.micros.reserve(20000);
    }
    const auto seconds = std::chrono::seconds(state.range(0));
    // Sends are spread evenly: one frame every 1 s / 2,500 = 400 us, senders in turn.
    const auto gap = std::chrono::nanoseconds(1000000000LL / (kSenders * kFps));
    std::vector<uint8_t> payload(1000, 0);
    VideoFrame frame;
    for (auto _ : state) {
        const auto start = Clock::now();
        auto next = start;
        int who = 0;
        while (Clock::now() - start < seconds) {
            std::this_thread::sleep_until(next);
            const int64_t now = Clock::now().time_since_epoch().count();
            std::memcpy(payload.data(), &now, sizeof now);
            frame.SetData(payload.data(), payload.size());
            senders[who].cloud->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, frame);
            who = (who + 1) % kSenders;
            next += gap;
        }
        ostrel_loopback_wait_idle(10.0);
    }
    std::vector<double> m;
    {
        std::lock_guard<std::mutex> lock(timing.mutex);
        m = timing.micros;
    }
    std::sort(m.begin(), m.end());
    if (!m.empty()) {
        state.counters["p50_us"] = m[m.size() / 2];
        state.counters["p99_us"] = m[std::min(m.size() - 1, m.size() * 99 / 100)];
        state.counters["max_us"] = m.back();
    }
    state.counters["events"] = static_cast<double>(m.size());
}
BENCHMARK(Latency)->Arg(3)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void FrozenReports(benchmark::State& state) {
    ostrel_loopback_clock_freeze();
    ostrel_loopback_set_quality_interval(2000);
    std::vector<Member> members(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < members.size(); ++i) {
        members[i].delegate = std::make_unique<Quiet>();
        members[i].cloud = VONUCloud::Create(members[i].delegate.get());
        members[i].cloud->EnterRoom(enter("m" + std::to_string(i), "bench-reports"));
    }
    ostrel_loopback_wait_idle(5.0);
    for (auto _ : state) {
        if (ostrel_loopback_clock_advance(120000, 60.0) != 1) state.SkipWithError("advance timed out");
    }
    state.counters["reports"] =
        benchmark::Counter(static_cast<double>(60 * members.size()), benchmark::Counter::kIsIterationInvariantRate);
    members.clear();
    ostrel_loopback_clock_resume();
}
BENCHMARK(FrozenReports)->Arg(2)->Arg(10)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
