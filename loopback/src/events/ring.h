// A FIFO queue in one growing ring of slots, for event queues that must not allocate per event.
#ifndef OSTREL_LOOPBACK_EVENTS_RING_H_
#define OSTREL_LOOPBACK_EVENTS_RING_H_

#include <cstddef>
#include <utility>
#include <vector>

namespace ostrel::loopback::events {

// A FIFO queue in one growing ring of slots: pushing and popping allocate nothing once it has
// grown to its working size. A queue emptied after a burst gives its large ring back.
template <typename T>
class Ring {
public:
    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    T& front() { return slots_[head_]; }
    const T& front() const { return slots_[head_]; }
    T& operator[](size_t i) { return slots_[(head_ + i) & (slots_.size() - 1)]; }
    void push_back(T&& value) {
        if (size_ == slots_.size()) grow();
        slots_[(head_ + size_) & (slots_.size() - 1)] = std::move(value);
        ++size_;
    }
    // The element is moved out of its slot and destroyed, releasing what it held (a moved-from
    // element of the queues here holds nothing), without building a fresh T for the slot.
    void pop_front() {
        { T released(std::move(slots_[head_])); }
        head_ = (head_ + 1) & (slots_.size() - 1);
        if (--size_ == 0) {
            head_ = 0;
            if (slots_.size() > kKeep) std::vector<T>().swap(slots_);
        }
    }
    void clear() {
        std::vector<T>().swap(slots_);
        head_ = size_ = 0;
    }
    void swap(Ring& other) noexcept {
        slots_.swap(other.slots_);
        std::swap(head_, other.head_);
        std::swap(size_, other.size_);
    }

private:
    static constexpr size_t kKeep = 1024;  // slots kept by an empty queue
    void grow() {
        std::vector<T> bigger(slots_.empty() ? 16 : slots_.size() * 2);
        for (size_t i = 0; i < size_; ++i) bigger[i] = std::move((*this)[i]);
        slots_.swap(bigger);
        head_ = 0;
    }

    std::vector<T> slots_;  // a power of two in size, or empty
    size_t head_ = 0;
    size_t size_ = 0;
};

}  // namespace ostrel::loopback::events

#endif  // OSTREL_LOOPBACK_EVENTS_RING_H_
