// The event queue's building blocks: the ring and the small-buffer callable.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

#include "events/delivery.h"
#include "events/ring.h"
#include "quiet_delegate.h"

namespace {

using ostrel::loopback::events::Delivery;
using ostrel::loopback::events::Ring;

TEST(Ring, KeepsOrderAcrossGrowthAndWrapAndReleasesPoppedSlots) {
    Ring<std::shared_ptr<int>> ring;
    auto watched = std::make_shared<int>(-1);
    ring.push_back(std::shared_ptr<int>(watched));
    int next_in = 0, next_out = 0;
    // Interleave pushes and pops so that the head wraps around while the ring grows.
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 7; ++i) ring.push_back(std::make_shared<int>(next_in++));
        for (int i = 0; i < 3 && ring.size() > 1; ++i) {
            if (*ring.front() == -1) {
                ring.pop_front();
                EXPECT_EQ(watched.use_count(), 1) << "a popped slot still holds its element";
                continue;
            }
            EXPECT_EQ(*ring.front(), next_out++);
            ring.pop_front();
        }
    }
    while (!ring.empty()) {
        EXPECT_EQ(*ring.front(), next_out++);
        ring.pop_front();
    }
    EXPECT_EQ(next_out, next_in);

    Ring<std::shared_ptr<int>> other;
    other.push_back(std::make_shared<int>(7));
    ring.swap(other);
    ASSERT_EQ(ring.size(), 1u);
    EXPECT_EQ(*ring.front(), 7);
    EXPECT_TRUE(other.empty());
}

struct Counted : cloud_test::QuietDelegate {
    int errors = 0;
    void OnError(ostrel::vonu::Error) override { ++errors; }
};

TEST(Delivery, InlineAndBoxedCallablesCopyMoveAndReleaseTheirCaptures) {
    auto small = std::make_shared<int>(1);
    auto large = std::make_shared<int>(2);
    std::array<char, 2 * Delivery::kInline> padding{};  // too large to live inline
    Counted d;
    {
        Delivery a = [small](ostrel::vonu::VONUCloudDelegate& x) { x.OnError(ostrel::vonu::Error(0)); };
        Delivery b = [large, padding](ostrel::vonu::VONUCloudDelegate& x) {
            (void)padding;
            x.OnError(ostrel::vonu::Error(0));
        };
        Delivery a2 = a;  // copies hold captures of their own
        Delivery b2 = b;
        EXPECT_EQ(small.use_count(), 3);
        EXPECT_EQ(large.use_count(), 3);
        Delivery moved = std::move(a2);
        EXPECT_FALSE(a2);  // NOLINT: a moved-from Delivery is empty
        EXPECT_EQ(small.use_count(), 3);
        a(d);
        b2(d);
        moved(d);
        EXPECT_EQ(d.errors, 3);
        b = nullptr;
        EXPECT_EQ(large.use_count(), 2);
    }
    EXPECT_EQ(small.use_count(), 1);
    EXPECT_EQ(large.use_count(), 1);
}

}  // namespace
