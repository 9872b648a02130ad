// Instance lifecycle: Destroy while a callback runs, from inside a callback, with a full
// queue; exceptions and forced unwinds leaving callbacks; no leaks over many cycles.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <stdexcept>

#include "cloud_test_support.h"

namespace {

using namespace cloud_test;

TEST(CloudTeardown, NullPointersAreHarmless) {
    VONUCloud::Destroy(nullptr);
    Cloud c(nullptr);  // no delegate: everything works, events go nowhere
    ASSERT_NE(c.get(), nullptr);
    EXPECT_EQ(c->EnterRoom(params("nobody")), 0);
    EXPECT_EQ(c->CreateLocalAudioChannel(AudioEncodeParams()), 0);
    EXPECT_EQ(c->GetAudioFrame(nullptr), ERR_INVALID_PARAMETER);
    EXPECT_TRUE(idle());
}

TEST(CloudTeardown, DestroyWaitsForRunningCallbackThenNothingMoreRuns) {
    EventLog r;
    Gate gate;
    r.hook = [&](const std::string& line) {
        if (line == "OnEnterRoom") gate.wait();
    };
    VONUCloud* p = VONUCloud::Create(&r);
    ASSERT_EQ(p->EnterRoom(params("alice", "teardown-1")), 0);
    ASSERT_TRUE(gate.wait_entered());
    for (int i = 0; i < 50; ++i) ostrel_loopback_raise_error("alice", -1);

    const int live = ostrel_loopback_live_instances();
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        VONUCloud::Destroy(p);
        destroyed = true;
    });
    // Destroy takes the instance off the live list as it stops it, before it waits; a fixed
    // pause alone is too short for a slow run (sanitizers under emulation), where the gate
    // would open before Destroy began and the queued errors would be delivered.
    EXPECT_TRUE(eventually([&] { return ostrel_loopback_live_instances() == live - 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(destroyed.load()) << "Destroy returned while a callback was still running";
    const size_t before_release = r.count();
    gate.release();
    destroyer.join();
    EXPECT_TRUE(destroyed.load());
    // The blocked callback finished; the queued errors were discarded.
    EXPECT_EQ(r.count(), before_release + 1);
    EXPECT_TRUE(r.matching("OnError").empty());
}

TEST(CloudTeardown, DestroyFromInsideOwnCallbackDoesNotWaitForItself) {
    const int threads_before = ostrel_loopback_sdk_threads();
    EventLog watcher;
    Cloud w(&watcher);
    ASSERT_EQ(w->EnterRoom(params("watcher", "teardown-2")), 0);
    const int threads_with_watcher = ostrel_loopback_sdk_threads();

    EventLog r;
    VONUCloud* p = VONUCloud::Create(&r);
    std::atomic<bool> returned{false};
    r.hook = [&](const std::string& line) {
        if (line == "OnEnterRoom") {
            VONUCloud::Destroy(p);  // on p's own event thread
            returned = true;
        }
    };
    ASSERT_EQ(p->EnterRoom(params("self", "teardown-2")), 0);
    ASSERT_TRUE(eventually([&] { return returned.load(); }));
    // Peers saw it leave; its own queued events (the watcher's announcement) never ran.
    ASSERT_TRUE(watcher.wait_line("OnRemoteUserExitRoom self 0"));
    EXPECT_TRUE(idle());
    EXPECT_TRUE(r.matching("OnRemoteUserEnterRoom").empty());
    EXPECT_EQ(r.events().back(), "OnEnterRoom");
    // The event thread is reclaimed after the callback returned.
    EXPECT_TRUE(eventually([&] { return ostrel_loopback_sdk_threads() == threads_with_watcher; }));
    w.destroy();
    EXPECT_GE(threads_with_watcher, threads_before);
}

TEST(CloudTeardown, DestroyDiscardsThousandsOfQueuedEvents) {
    EventLog r;
    Gate gate;
    r.hook = [&](const std::string& line) {
        if (line == "OnEnterRoom") gate.wait();
    };
    EventLog sender_r;
    Cloud sender(&sender_r);
    VONUCloud* p = VONUCloud::Create(&r);
    ASSERT_EQ(p->EnterRoom(params("slow", "teardown-3")), 0);
    ASSERT_TRUE(gate.wait_entered());
    ASSERT_EQ(sender->EnterRoom(params("fast", "teardown-3")), 0);
    ASSERT_EQ(sender->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), 0);
    for (int i = 0; i < 3000; ++i) ostrel_loopback_raise_error("slow", -1);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        gate.release();
    });
    VONUCloud::Destroy(p);
    releaser.join();
    EXPECT_TRUE(r.matching("OnError").size() < 3000u);
    EXPECT_TRUE(idle());
}

TEST(CloudTeardown, ExceptionsLeavingCallbacksAreContained) {
    ostrel_loopback_clear_escaped();
    EventLog r;
    r.hook = [](const std::string& line) {
        if (line == "OnEnterRoom")
            throw std::runtime_error("Tried to call pure virtual function \"VONUCloudDelegate::OnEnterRoom\"");
        if (line.rfind("OnConnectionStateChanged 2 3", 0) == 0) throw 42;
    };
    Cloud c(&r);
    ASSERT_EQ(c->EnterRoom(params("thrower", "teardown-4")), 0);
    ASSERT_EQ(c->CreateLocalAudioChannel(AudioEncodeParams()), 0);
    ASSERT_TRUE(r.wait_line("OnLocalAudioChannelCreated"));  // delivery went on
    EXPECT_TRUE(idle());
    const auto texts = escaped_texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "unknown exception");
    EXPECT_NE(texts[1].find("VONUCloudDelegate::OnEnterRoom"), std::string::npos);
    ostrel_loopback_clear_escaped();
    EXPECT_TRUE(escaped_texts().empty());
}

TEST(CloudTeardown, ForcedUnwindEndsTheThreadButDestroyStillWorks) {
    EventLog r;
    r.hook = [](const std::string& line) {
        if (line == "OnEnterRoom") pthread_exit(nullptr);
    };
    VONUCloud* p = VONUCloud::Create(&r);
    // Counted after Create: the first instance of a process also starts the service thread.
    const int with = ostrel_loopback_sdk_threads();
    ASSERT_EQ(p->EnterRoom(params("unwinder", "teardown-5")), 0);
    EXPECT_TRUE(idle());  // a thread that is gone has nothing left to deliver
    EXPECT_EQ(p->ExitRoom(), 0);
    VONUCloud::Destroy(p);  // must not hang
    EXPECT_TRUE(eventually([&] { return ostrel_loopback_sdk_threads() <= with - 1; }));
}

TEST(CloudTeardown, ForcedUnwindAfterDestroyFromInside) {
    EventLog r;
    VONUCloud* p = VONUCloud::Create(&r);
    const int with = ostrel_loopback_sdk_threads();
    r.hook = [&](const std::string& line) {
        if (line == "OnEnterRoom") {
            VONUCloud::Destroy(p);
            pthread_exit(nullptr);
        }
    };
    ASSERT_EQ(p->EnterRoom(params("unwinder2", "teardown-6")), 0);
    EXPECT_TRUE(eventually([&] { return ostrel_loopback_sdk_threads() == with - 1; }));
}

TEST(CloudTeardown, OperationsFromInsideCallbacks) {
    EventLog r;
    Cloud c(&r);
    VONUCloud* p = c.get();
    std::atomic<bool> once{false};
    r.hook = [&](const std::string& line) {
        if (line == "OnEnterRoom" && !once.exchange(true)) {
            EXPECT_EQ(p->CreateLocalAudioChannel(AudioEncodeParams()), 0);
            EXPECT_EQ(p->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), 0);
            EXPECT_EQ(ostrel_loopback_wait_idle(0.5), 1);  // from inside: does not wait for itself
        }
        if (line == "OnLocalVideoChannelCreated 2") {
            EXPECT_EQ(p->ExitRoom(), 0);
        }
    };
    ASSERT_EQ(c->EnterRoom(params("busy", "teardown-7")), 0);
    ASSERT_TRUE(r.wait_line("OnExitRoom"));
    EXPECT_TRUE(r.has("OnLocalAudioChannelDestroyed"));
    EXPECT_EQ(c->EnterRoom(params("busy", "teardown-7")), 0);
}

long resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(CloudTeardown, ThousandCyclesLeaveThreadsAndMemoryFlat) {
    EventLog peer_r;
    Cloud peer(&peer_r);
    ASSERT_EQ(peer->EnterRoom(params("peer", "cycles")), 0);
    auto cycle = [](int i) {
        EventLog r;
        VONUCloud* p = VONUCloud::Create(&r);
        EXPECT_EQ(p->EnterRoom(params(i % 2 ? "odd" : "even", "cycles")), 0);
        EXPECT_EQ(p->CreateLocalAudioChannel(AudioEncodeParams()), 0);
        EXPECT_EQ(p->ExitRoom(), 0);
        VONUCloud::Destroy(p);
    };
    for (int i = 0; i < 50; ++i) cycle(i);  // warm-up: allocator pools, service thread
    ASSERT_TRUE(idle());
    peer_r.clear();
    const int threads = process_threads();
    const int sdk = ostrel_loopback_sdk_threads();
    const int live = ostrel_loopback_live_instances();
    const long rss = resident_kib();
    for (int i = 0; i < 1000; ++i) cycle(i);
    ASSERT_TRUE(idle());
    peer_r.clear();
    EXPECT_EQ(ostrel_loopback_live_instances(), live);
    EXPECT_EQ(ostrel_loopback_sdk_threads(), sdk);
    // Under emulation /proc/self shows the emulator's threads and memory (translated code
    // included), which come and go on their own.
    if (const char* emulator = test_emulator())
        GTEST_SKIP() << "thread count and resident memory under " << emulator << " are the emulator's";
    EXPECT_TRUE(eventually([&] { return process_threads() == threads; })) << process_threads() << " vs " << threads;
    if (!kSanitized) {
        EXPECT_LT(resident_kib() - rss, 2048) << "resident memory grew";
    }
}

TEST(CloudTeardown, FailNextCreate) {
    ostrel_loopback_fail_next_create();
    EXPECT_EQ(VONUCloud::Create(nullptr), nullptr);
    EventLog r;
    Cloud c(&r);
    EXPECT_NE(c.get(), nullptr);
}

}  // namespace
