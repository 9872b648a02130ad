#include "event_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>
#include <utility>

namespace ostrel_binding {

int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

QueuedEvent::QueuedEvent(uint64_t key, size_t event, size_t frame_bytes, std::shared_ptr<DeliveryAccount> account)
    : key_(key), event_(event), made_ns_(monotonic_ns()), frame_bytes_(frame_bytes), account_(std::move(account)) {
    account_->waiting.fetch_add(1, std::memory_order_relaxed);
    if (frame_bytes_ != 0) account_->frame_bytes.fetch_add(frame_bytes_, std::memory_order_relaxed);
}

QueuedEvent::~QueuedEvent() {
    account_->waiting.fetch_sub(1, std::memory_order_relaxed);
    if (frame_bytes_ != 0) account_->frame_bytes.fetch_sub(frame_bytes_, std::memory_order_relaxed);
}

namespace {

int make_eventfd() {
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    return fd;
}

}  // namespace

EventQueue::EventQueue() : fd_(make_eventfd()), process_(getpid()) {}

EventQueue::~EventQueue() {
    QueuedEvent* event = newest_.exchange(nullptr, std::memory_order_acquire);
    while (event != nullptr) delete std::exchange(event, event->next_);
    close(fd_);
}

void EventQueue::push(std::unique_ptr<QueuedEvent> event) noexcept {
    QueuedEvent* node = event.release();
    QueuedEvent* before = newest_.load(std::memory_order_relaxed);
    do {
        node->next_ = before;
    } while (!newest_.compare_exchange_weak(before, node, std::memory_order_release, std::memory_order_relaxed));
    // The node is the consumer's now, and may be gone already: only `before` is read from here on.
    if (before != nullptr) return;  // the push that found the list empty has woken the consumer
    const uint64_t one = 1;
    // Cannot fail but for a counter at its maximum, which a readable eventfd already means.
    [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
}

std::vector<std::unique_ptr<QueuedEvent>> EventQueue::take() {
    std::vector<std::unique_ptr<QueuedEvent>> taken;
    if (getpid() != process_) return taken;
    uint64_t count;
    [[maybe_unused]] const ssize_t read_ = read(fd_, &count, sizeof count);  // EAGAIN: nothing was signalled
    QueuedEvent* event = newest_.exchange(nullptr, std::memory_order_acquire);
    while (event != nullptr) taken.emplace_back(std::exchange(event, event->next_));
    std::reverse(taken.begin(), taken.end());  // taken newest first: the pushes' order, reversed
    return taken;
}

}  // namespace ostrel_binding
