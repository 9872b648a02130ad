// The queue between SDK threads and the consumer of queued events, for ThreadSanitizer's and
// AddressSanitizer's eyes: producers racing a consumer that takes only when the eventfd says so,
// so that a lost wake-up shows as a stall, and the accounts given back however an event goes.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "event_queue.h"

using namespace ostrel_binding;

namespace {

// An event that carries its producer's sequence number; its arguments are never asked for here.
class Numbered final : public QueuedEvent {
public:
    Numbered(uint64_t producer, size_t sequence, size_t bytes, std::shared_ptr<DeliveryAccount> account)
        : QueuedEvent(producer, 0, bytes, std::move(account)), sequence(sequence) {}
    py::tuple arguments() override { return py::tuple(); }
    const size_t sequence;
};

bool readable(int fd, int timeout_ms) {
    pollfd watched{fd, POLLIN, 0};
    return poll(&watched, 1, timeout_ms) == 1;
}

}  // namespace

TEST(EventQueue, TakesEveryEventInEachProducersOrderWokenByItsFileDescriptor) {
    constexpr size_t kProducers = 4;
    constexpr size_t kEach = 20000;
    EventQueue queue;
    auto account = std::make_shared<DeliveryAccount>(0);
    std::vector<std::thread> producers;
    for (size_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (size_t i = 0; i < kEach; ++i) queue.push(std::make_unique<Numbered>(p, i, 0, account));
        });
    }
    std::vector<size_t> next(kProducers, 0);
    size_t taken = 0;
    while (taken < kProducers * kEach) {
        // Every event pushed is followed by a readable eventfd until a take: a wait that ends
        // empty-handed with events waiting is a lost wake-up.
        ASSERT_TRUE(readable(queue.fd(), 10000) || !queue.waiting()) << "events wait but the eventfd is not readable";
        for (auto& event : queue.take()) {
            auto& numbered = static_cast<Numbered&>(*event);
            ASSERT_EQ(numbered.sequence, next[numbered.key()]) << "producer " << numbered.key();
            ++next[numbered.key()];
            ++taken;
        }
    }
    for (auto& producer : producers) producer.join();
    EXPECT_FALSE(queue.waiting());
    EXPECT_EQ(account->waiting.load(), 0u);
}

TEST(EventQueue, AnAccountIsGivenBackWhenTakenAndWhenTheQueueGoes) {
    auto account = std::make_shared<DeliveryAccount>(1000);
    {
        EventQueue queue;
        queue.push(std::make_unique<Numbered>(1, 0, 300, account));
        queue.push(std::make_unique<Numbered>(1, 1, 0, account));
        EXPECT_EQ(account->waiting.load(), 2u);
        EXPECT_EQ(account->frame_bytes.load(), 300u);
        EXPECT_TRUE(readable(queue.fd(), 0));
        auto taken = queue.take();
        ASSERT_EQ(taken.size(), 2u);
        EXPECT_FALSE(readable(queue.fd(), 0));
        taken.clear();
        EXPECT_EQ(account->waiting.load(), 0u);
        EXPECT_EQ(account->frame_bytes.load(), 0u);
        queue.push(std::make_unique<Numbered>(1, 2, 500, account));
    }
    EXPECT_EQ(account->waiting.load(), 0u);  // freed with the queue
    EXPECT_EQ(account->frame_bytes.load(), 0u);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();  // no interpreter: nothing here asks for an event's arguments
}
