// The event-log test delegate and helpers shared by the room tests.
#ifndef OSTREL_LOOPBACK_TESTS_CLOUD_TEST_SUPPORT_H_
#define OSTREL_LOOPBACK_TESTS_CLOUD_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "control/loopback_control.h"
#include "quiet_delegate.h"
#include "record_access.h"
#include "vonu/ostrel_vonu_cloud.h"

namespace cloud_test {

using namespace ostrel::vonu;

// The bound of the tests' waits, which end as soon as what they wait for happens, so that only
// a hang runs into it. Emulated on a loaded machine (the aarch64 tests under qemu beside the
// other lanes of scripts/test.sh), a burst of 4K frames took more than 10 s to encode.
constexpr auto kTimeout = std::chrono::seconds(60);

// Records every callback as one line of text ("OnRemoteAudioAvailable bob 1") and keeps the
// received frames. `hook` runs first in every callback, on the event thread, with the line.
class EventLog : public QuietDelegate {
public:
    std::function<void(const std::string&)> hook;

    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    size_t count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_.size();
    }
    // Events starting with `prefix`.
    std::vector<std::string> matching(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const std::string& e : events()) {
            if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
        }
        return out;
    }
    bool has(const std::string& line) const {
        for (const std::string& e : events()) {
            if (e == line) return true;
        }
        return false;
    }
    // Waits until `pred` holds over the events.
    bool wait_for(const std::function<bool(const std::vector<std::string>&)>& pred) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kTimeout, [&] { return pred(events_); });
    }
    bool wait_line(const std::string& line) const {
        return wait_for([&](const std::vector<std::string>& ev) {
            for (const std::string& e : ev) {
                if (e == line) return true;
            }
            return false;
        });
    }
    bool wait_count(const std::string& prefix, size_t n) const {
        return wait_for([&](const std::vector<std::string>& ev) {
            size_t c = 0;
            for (const std::string& e : ev) c += e.compare(0, prefix.size(), prefix) == 0;
            return c >= n;
        });
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
        audio_.clear();
        video_.clear();
        pixels_.clear();
    }
    std::vector<AudioFrame> audio() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return audio_;
    }
    std::vector<VideoFrame> video() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return video_;
    }
    std::vector<PixelFrame> pixels() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return pixels_;
    }

#define OSTREL_LOG_EVENT(member, python_name, policy, parameters, python_arguments) \
    void member parameters override { Recorder{*this, #python_name} python_arguments; }
    OSTREL_DELEGATE_EVENTS(OSTREL_LOG_EVENT)
#undef OSTREL_LOG_EVENT

private:
    static std::string str(const char* s) { return s ? std::string(s) : std::string("<null>"); }
    static std::string quality(const NetworkQualityInfo& q) {
        return str(ostrel::loopback::text_of(q.user_id)) + ":" + std::to_string(q.quality);
    }

    // Each argument adds " <text>" to the line; a frame adds nothing and is kept instead.
    template <typename T, typename = std::enable_if_t<std::is_arithmetic<T>::value || std::is_enum<T>::value>>
    static void append(std::string& line, T value) {
        line += " " + std::to_string(value);
    }
    static void append(std::string& line, const char* id) { line += " " + str(id); }
    static void append(std::string& line, const UserInfo& info) {
        line += " " + str(ostrel::loopback::text_of(info.user_id));
    }
    static void append(std::string& line, const MessageBytes& m) {
        line += " " + (m.data ? std::string(m.data, m.size) : std::string("<null>"));
    }
    static void append(std::string& line, const QualityRecord& q) {
        line += q.record ? " " + quality(*q.record) : std::string(" null");
    }
    static void append(std::string& line, const QualityList& l) {
        for (size_t i = 0; i < l.count; ++i) line += " " + quality(l.records[i]);
    }
    static void append(std::string&, const AudioFrame&) {}
    static void append(std::string&, const VideoFrame&) {}
    static void append(std::string&, const PixelFrame&) {}

    void keep_frame(const AudioFrame& f) { audio_.push_back(f); }
    void keep_frame(const VideoFrame& f) { video_.push_back(f); }
    void keep_frame(const PixelFrame& f) { pixels_.push_back(f); }
    template <typename T>
    void keep_frame(const T&) {}

    // Logs event `name` ("OnRemoteAudioAvailable bob 1") when called with its arguments.
    struct Recorder {
        EventLog& log;     // where to
        const char* name;  // the event's Python name
        template <typename... Args>
        void operator()(const Args&... args) const {
            std::string line = name;
            (append(line, args), ...);
            log.add(line, [&] { (log.keep_frame(args), ...); });
        }
    };

    void add(const std::string& line, const std::function<void()>& keep = nullptr) {
        if (hook) hook(line);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(line);
            if (keep) keep();
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> events_;
    std::vector<AudioFrame> audio_;
    std::vector<VideoFrame> video_;
    std::vector<PixelFrame> pixels_;
};

// Blocks the callbacks that call wait() until release().
class Gate {
public:
    void wait() {
        std::unique_lock<std::mutex> lock(m_);
        ++entered_;
        cv_.notify_all();
        cv_.wait(lock, [this] { return open_; });
    }
    bool wait_entered(int n = 1) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, kTimeout, [&] { return entered_ >= n; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(m_);
        open_ = true;
        cv_.notify_all();
    }

private:
    std::mutex m_;                // guards entered_ and open_
    std::condition_variable cv_;  // signals both
    int entered_ = 0;             // callbacks that reached wait()
    bool open_ = false;           // release() was called
};

// Owns one instance; destroys it at the end of the scope unless released.
class Cloud {
public:
    explicit Cloud(VONUCloudDelegate* d) : p_(VONUCloud::Create(d)) {}
    ~Cloud() { VONUCloud::Destroy(p_); }
    Cloud(const Cloud&) = delete;
    Cloud& operator=(const Cloud&) = delete;
    VONUCloud* operator->() const { return p_; }
    VONUCloud* get() const { return p_; }
    void destroy() {
        VONUCloud::Destroy(p_);
        p_ = nullptr;
    }

private:
    VONUCloud* p_;
};

// Network-quality reports come every 2 s by default, at a phase set by whichever test entered a
// room first, so when the whole suite runs in one process a test that counts its events exactly
// would now and then see one more. They are off in these tests; a test that wants them sets an
// interval for its own scope with QualityReports.
class QualityReportsOff : public ::testing::Environment {
public:
    void SetUp() override { ostrel_loopback_set_quality_interval(0); }
};
inline ::testing::Environment* const quality_reports_off =
    ::testing::AddGlobalTestEnvironment(new QualityReportsOff);  // gtest owns it

// Turns the reports on at `ms` for one scope and off again after it.
class QualityReports {
public:
    explicit QualityReports(int ms) { ostrel_loopback_set_quality_interval(ms); }
    ~QualityReports() { ostrel_loopback_set_quality_interval(0); }
    QualityReports(const QualityReports&) = delete;
    QualityReports& operator=(const QualityReports&) = delete;
};

// Freezes the SDK clock for one scope and lets it run again after it, so that a failing test
// leaves the clock running for the others in the process.
class FrozenClock {
public:
    FrozenClock() { ostrel_loopback_clock_freeze(); }
    ~FrozenClock() { ostrel_loopback_clock_resume(); }
    FrozenClock(const FrozenClock&) = delete;
    FrozenClock& operator=(const FrozenClock&) = delete;
    bool advance(int64_t ms) { return ostrel_loopback_clock_advance(ms, 10.0) == 1; }
};

inline EnterRoomParams params(const char* user, const char* room = "room", uint32_t app = 1400000001) {
    EnterRoomParams p;
    p.room.sdk_app_id = app;
    p.room.user_id = user;
    p.room.user_sig = "sig";
    p.room.str_room_id = room;
    return p;
}

// A member that takes remote video as decoded pixels.
inline EnterRoomParams pixel_viewer(const char* user, const char* room) {
    EnterRoomParams p = params(user, room);
    p.use_pixel_frame_output = true;
    return p;
}

// A member that takes remote audio in the given form.
inline EnterRoomParams receiver(const char* user, const char* room, int rate, int channels, int ms,
                                AudioObtainMethod method = AUDIO_OBTAIN_METHOD_CALLBACK, bool mix = false) {
    EnterRoomParams p = params(user, room);
    p.audio_obtain_params.audio_obtain_method = method;
    p.audio_obtain_params.enable_remote_audio_mix = mix;
    p.audio_obtain_params.output_sample_rate = rate;
    p.audio_obtain_params.output_channels = channels;
    p.audio_obtain_params.output_frame_length_ms = ms;
    return p;
}

// A local audio channel of `ms` frames, the rest as the SDK's defaults.
inline AudioEncodeParams audio_channel(int ms) {
    AudioEncodeParams p;
    p.frame_length_ms = ms;
    return p;
}

inline bool idle() { return ostrel_loopback_wait_idle(std::chrono::duration<double>(kTimeout).count()) == 1; }

// Enters `a` as alice and `b` as bob into `room`, and waits until each has heard of the other.
inline bool enter_alice_and_bob(Cloud& a, Cloud& b, const char* room) {
    return a->EnterRoom(params("alice", room)) == 0 && b->EnterRoom(params("bob", room)) == 0 && idle();
}

inline std::vector<std::string> escaped_texts() {
    char* t = ostrel_loopback_escaped();
    std::string s = t ? t : "";
    ostrel_loopback_free(t);
    std::vector<std::string> out;
    // The list is "[b'...', b'...', ]"; texts in these tests hold no quotes or escapes.
    size_t pos = 0;
    while ((pos = s.find("b'", pos)) != std::string::npos) {
        const size_t end = s.find('\'', pos + 2);
        out.push_back(s.substr(pos + 2, end - pos - 2));
        pos = end + 1;
    }
    return out;
}

// The emulator the tests run under, as CTest tells them when they are cross-compiled
// (OSTREL_TEST_EMULATOR), or null when they run natively.
inline const char* test_emulator() {
    const char* emulator = std::getenv("OSTREL_TEST_EMULATOR");
    return emulator && *emulator ? emulator : nullptr;
}

inline int process_threads() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// Waits (generously) until `pred` holds.
inline bool eventually(const std::function<bool()>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline AudioFrame pcm_frame(int rate, int channels, int ms, int16_t value, uint32_t pts = 0) {
    AudioFrame f;
    f.sample_rate = rate;
    f.channels = channels;
    f.pts = pts;
    std::vector<int16_t> s(static_cast<size_t>(rate) * ms / 1000 * channels, value);
    ostrel::loopback::set_payload(f, reinterpret_cast<const uint8_t*>(s.data()), s.size() * 2);
    return f;
}

inline std::vector<int16_t> samples_of(const AudioFrame& f) {
    const auto& p = ostrel::loopback::frame_payload(f);
    std::vector<int16_t> s(p.size() / 2);
    if (!s.empty()) std::memcpy(s.data(), p.data(), s.size() * 2);
    return s;
}

}  // namespace cloud_test

#endif  // OSTREL_LOOPBACK_TESTS_CLOUD_TEST_SUPPORT_H_
