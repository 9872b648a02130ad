// The frame pool of a sending stream: a copy reuses the buffer of a frame given back and holds
// exactly the new frame; fill() makes frames ahead of need, counting those lent; the pool keeps a
// bounded number; frames given back or filled from other threads, and frames that outlive their
// pool, are freed or kept without a fault (checked under the sanitizers).
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "engine/frame_pool.h"
#include "record_access.h"

namespace {

using ostrel::loopback::frame_payload;
using ostrel::loopback::set_payload;
using ostrel::loopback::engine::FramePool;
using ostrel::vonu::PixelFrame;
using Pool = FramePool<PixelFrame>;

PixelFrame frame(uint8_t fill, uint32_t pts) {
    PixelFrame f;
    f.width = 64;
    f.height = 48;
    f.pts = pts;
    const std::vector<uint8_t> pixels(64 * 48 * 3 / 2, fill);
    set_payload(f, pixels.data(), pixels.size());
    return f;
}

TEST(FramePool, ACopyGoesIntoAFrameGivenBackAndHoldsOnlyTheNewFrame) {
    auto pool = std::make_shared<Pool>();
    auto first = pool->copy(frame(1, 10));
    const uint8_t* buffer = frame_payload(*first).data();
    EXPECT_EQ(pool->kept(), 0u);
    first.reset();
    EXPECT_EQ(pool->kept(), 1u);

    const PixelFrame sent = frame(2, 20);
    auto second = pool->copy(sent);
    EXPECT_EQ(frame_payload(*second).data(), buffer);  // no new buffer
    EXPECT_EQ(frame_payload(*second), frame_payload(sent));
    EXPECT_EQ(second->pts, 20u);
    EXPECT_EQ(pool->kept(), 0u);
}

TEST(FramePool, FillMakesFramesUpToTheBoundCountingThoseLentAndSendsThenCopyIntoThem) {
    auto pool = std::make_shared<Pool>();
    auto lent = pool->copy(frame(1, 10));
    pool->fill(*lent);
    EXPECT_EQ(pool->kept(), Pool::kKept - 1);  // the lent frame counts
    std::vector<std::shared_ptr<const PixelFrame>> sent;
    for (size_t i = 0; i + 1 < Pool::kKept; ++i) sent.push_back(pool->copy(frame(2, 20)));
    EXPECT_EQ(pool->kept(), 0u);  // the sends took the filled frames
    pool->fill(*lent);
    EXPECT_EQ(pool->kept(), 0u);  // all made are lent: the bound holds
    sent.clear();
    lent.reset();
    EXPECT_EQ(pool->kept(), Pool::kKept);
    // Frames made past the bound in a burst and freed on their way back come off the count:
    // with three lent and one kept, fill() makes none.
    std::vector<std::shared_ptr<const PixelFrame>> burst;
    for (size_t i = 0; i < Pool::kKept + 2; ++i) burst.push_back(pool->copy(frame(3, 30)));
    burst.clear();
    EXPECT_EQ(pool->kept(), Pool::kKept);
    for (size_t i = 0; i < Pool::kKept; ++i) burst.push_back(pool->copy(frame(3, 30)));
    burst.pop_back();
    pool->fill(frame(4, 40));
    EXPECT_EQ(pool->kept(), 1u);
}

TEST(FramePool, KeepsABoundedNumberAndFreesFramesGivenBackFromAnywhereOrAfterIt) {
    auto pool = std::make_shared<Pool>();
    std::vector<std::shared_ptr<const PixelFrame>> lent;
    for (uint32_t i = 0; i < Pool::kKept + 3; ++i) lent.push_back(pool->copy(frame(3, i)));
    // Given back on other threads while the sender goes on copying.
    std::thread a([&lent] {
        for (size_t i = 0; i < lent.size(); i += 2) lent[i].reset();
    });
    std::thread b([&lent] {
        for (size_t i = 1; i < lent.size(); i += 2) lent[i].reset();
    });
    // And filled by a worker meanwhile.
    std::thread filler([&pool] {
        for (uint32_t i = 0; i < 100; ++i) pool->fill(frame(6, i));
    });
    for (uint32_t i = 0; i < 100; ++i) pool->copy(frame(4, i));
    a.join();
    b.join();
    filler.join();
    EXPECT_LE(pool->kept(), Pool::kKept);

    auto outlives = pool->copy(frame(5, 0));
    pool.reset();
    EXPECT_EQ(outlives->pts, 0u);
    outlives.reset();  // its pool is gone: freed
}

}  // namespace
