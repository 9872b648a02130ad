// Destroy called from inside callbacks on instances whose own callbacks are running: cycles of
// instances destroying each other end without waiting forever, chains without a cycle still
// wait, and the count of running callbacks follows blocked and unwound callbacks.
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "cloud_test_support.h"

namespace {

using namespace cloud_test;

// Lets `parties` threads go on together once all of them arrived; false if they did not all
// arrive in time.
class Barrier {
public:
    explicit Barrier(int parties) : left_(parties) {}
    bool arrive_and_wait() {
        std::unique_lock<std::mutex> lock(m_);
        if (--left_ == 0) cv_.notify_all();
        return cv_.wait_for(lock, kTimeout, [this] { return left_ <= 0; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int left_;
};

// A deadlock here would hang the whole run: report it and end the process instead.
void watchdog(const std::function<bool()>& done, const char* what) {
    if (eventually(done)) return;
    ADD_FAILURE() << "hung: " << what;
    std::fprintf(stderr, "hung: %s; ending the test run\n", what);
    std::fflush(stderr);
    std::_Exit(1);
}

struct Party {
    EventLog r;
    VONUCloud* p = nullptr;
    std::atomic<bool> destroy_returned{false};
    std::atomic<bool> hook_returned{false};
};

// Party i destroys party (i + 1) % n from inside its OnError callback, all of them at the same
// moment: a cycle of event threads each waiting for the next one's running callback.
void destroy_in_a_cycle(int n, const std::string& room) {
    EventLog watcher_r;
    Cloud watcher(&watcher_r);
    ASSERT_EQ(watcher->EnterRoom(params("watcher", room.c_str())), 0);
    ASSERT_TRUE(idle());
    const int threads = ostrel_loopback_sdk_threads();
    const int live = ostrel_loopback_live_instances();

    std::vector<std::unique_ptr<Party>> parties;
    for (int i = 0; i < n; ++i) parties.push_back(std::make_unique<Party>());
    Barrier together(n);
    std::atomic<bool> all_arrived{true};
    for (int i = 0; i < n; ++i) {
        Party& me = *parties[i];
        Party& next = *parties[(i + 1) % n];
        me.r.hook = [&me, &next, &together, &all_arrived](const std::string& line) {
            if (line != "OnError 1") return;
            if (!together.arrive_and_wait()) {
                all_arrived = false;
                return;
            }
            VONUCloud::Destroy(next.p);
            me.destroy_returned = true;
            me.hook_returned = true;
        };
        me.p = VONUCloud::Create(&me.r);
        ASSERT_NE(me.p, nullptr);
        ASSERT_EQ(me.p->EnterRoom(params((room + "-" + std::to_string(i)).c_str(), room.c_str())), 0);
    }
    ASSERT_TRUE(idle());
    for (int i = 0; i < n; ++i) ASSERT_EQ(ostrel_loopback_raise_error((room + "-" + std::to_string(i)).c_str(), 1), 1);
    // Queued behind the callbacks that destroy: never delivered.
    for (int i = 0; i < n; ++i) ostrel_loopback_raise_error((room + "-" + std::to_string(i)).c_str(), 2);

    watchdog(
        [&] {
            for (auto& party : parties) {
                if (!party->destroy_returned) return false;
            }
            return true;
        },
        "instances destroying each other from their callbacks");
    EXPECT_TRUE(all_arrived.load());
    // Every instance's thread ends and is joined; only then may the delegates go away.
    watchdog([&] { return ostrel_loopback_sdk_threads() == threads; }, "reclaiming the event threads");
    EXPECT_EQ(ostrel_loopback_live_instances(), live);
    for (int i = 0; i < n; ++i) {
        const std::string user = room + "-" + std::to_string(i);
        EXPECT_TRUE(parties[i]->hook_returned.load()) << user;
        EXPECT_EQ(parties[i]->r.events().back(), "OnError 1") << user;
        EXPECT_FALSE(parties[i]->r.has("OnError 2")) << user << " ran a callback after it was destroyed";
        EXPECT_TRUE(watcher_r.wait_line("OnRemoteUserExitRoom " + user + " 0")) << user;
    }
    EXPECT_TRUE(idle());
}

TEST(CloudDestroyCycle, TwoInstancesDestroyingEachOtherFromCallbacks) { destroy_in_a_cycle(2, "cycle-two"); }

TEST(CloudDestroyCycle, ThreeInstancesDestroyingInARing) { destroy_in_a_cycle(3, "cycle-three"); }

TEST(CloudDestroyCycle, ChainWithoutCycleWaitsForEachRunningCallback) {
    // a destroys b while b destroys c, whose callback is blocked: no cycle, so each Destroy
    // returns only after its target's callback has returned.
    Party a, b, c;
    Gate gate;
    Barrier together(3);
    std::atomic<bool> b_done_when_a_returned{false};
    std::atomic<bool> c_done_when_b_returned{false};
    a.r.hook = [&](const std::string& line) {
        if (line != "OnError 1" || !together.arrive_and_wait()) return;
        VONUCloud::Destroy(b.p);
        b_done_when_a_returned = b.hook_returned.load();
        a.destroy_returned = true;
    };
    b.r.hook = [&](const std::string& line) {
        if (line != "OnError 1" || !together.arrive_and_wait()) return;
        VONUCloud::Destroy(c.p);
        c_done_when_b_returned = c.hook_returned.load();
        b.destroy_returned = true;
        b.hook_returned = true;
    };
    c.r.hook = [&](const std::string& line) {
        if (line != "OnError 1" || !together.arrive_and_wait()) return;
        gate.wait();
        c.hook_returned = true;
    };
    for (auto [party, name] : {std::pair<Party*, const char*>{&a, "chain-a"}, {&b, "chain-b"}, {&c, "chain-c"}}) {
        party->p = VONUCloud::Create(&party->r);
        ASSERT_EQ(party->p->EnterRoom(params(name, "chain")), 0);
    }
    ASSERT_TRUE(idle());
    const int threads = ostrel_loopback_sdk_threads();
    for (const char* name : {"chain-a", "chain-b", "chain-c"}) ASSERT_EQ(ostrel_loopback_raise_error(name, 1), 1);
    ASSERT_TRUE(gate.wait_entered());
    // Give a and b the time to block in Destroy; the outcome does not depend on it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(b.destroy_returned.load());
    gate.release();
    watchdog([&] { return a.destroy_returned.load(); }, "a chain of Destroy calls from callbacks");
    EXPECT_TRUE(c_done_when_b_returned.load()) << "Destroy(c) returned while c's callback ran";
    EXPECT_TRUE(b_done_when_a_returned.load()) << "Destroy(b) returned while b's callback ran";
    // b and c were joined by the Destroy calls that waited for them.
    EXPECT_EQ(ostrel_loopback_sdk_threads(), threads - 2);
    VONUCloud::Destroy(a.p);
}

TEST(CloudDestroyCycle, CallbacksRunningFollowsBlockedAndUnwoundCallbacks) {
    ASSERT_TRUE(idle());
    const int before = ostrel_loopback_callbacks_running();
    Gate gate;
    EventLog r1, r2, r3;
    r1.hook = r2.hook = [&](const std::string& line) {
        if (line == "OnError 7") gate.wait();
    };
    r3.hook = [](const std::string& line) {
        if (line == "OnError 7") pthread_exit(nullptr);
    };
    Cloud c1(&r1), c2(&r2), c3(&r3);
    ASSERT_EQ(c1->EnterRoom(params("held1", "running")), 0);
    ASSERT_EQ(c2->EnterRoom(params("held2", "running")), 0);
    ASSERT_EQ(c3->EnterRoom(params("unwound", "running")), 0);
    ASSERT_TRUE(idle());
    ASSERT_EQ(ostrel_loopback_raise_error("unwound", 7), 1);
    ASSERT_TRUE(idle());  // that thread is gone; its callback no longer counts
    EXPECT_EQ(ostrel_loopback_callbacks_running(), before);
    ASSERT_EQ(ostrel_loopback_raise_error("held1", 7), 1);
    ASSERT_EQ(ostrel_loopback_raise_error("held2", 7), 1);
    ASSERT_TRUE(gate.wait_entered(2));
    EXPECT_EQ(ostrel_loopback_callbacks_running(), before + 2);
    gate.release();
    ASSERT_TRUE(idle());
    EXPECT_EQ(ostrel_loopback_callbacks_running(), before);
}

}  // namespace
