// A small-buffer callable for one delegate callback and its arguments, like a copyable
// std::function<void(VONUCloudDelegate&)> that never allocates for the callables the rooms make.
#ifndef OSTREL_LOOPBACK_EVENTS_DELIVERY_H_
#define OSTREL_LOOPBACK_EVENTS_DELIVERY_H_

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "vonu/ostrel_vonu_cloud.h"

namespace ostrel::loopback::events {

// The call of one delegate callback, with its arguments: a copyable callable taking the
// delegate. Callables up to kInline bytes (every one the rooms make, and an injected event with
// two byte strings and the integers between them) live inside the object, so that queueing an
// event allocates nothing and its thread reads it from the queue itself; larger ones are kept on
// the heap.
class Delivery {
public:
    static constexpr size_t kInline = 112;

    Delivery() noexcept = default;
    Delivery(std::nullptr_t) noexcept {}  // NOLINT: like std::function
    template <typename F, typename = std::enable_if_t<!std::is_same<std::decay_t<F>, Delivery>::value>>
    Delivery(F&& f) {  // NOLINT: like std::function
        emplace(std::forward<F>(f));
    }
    Delivery(const Delivery& other) {
        if (other.ops_ != nullptr) {
            other.ops_->copy(other.storage(), storage());
            ops_ = other.ops_;
        }
    }
    Delivery(Delivery&& other) noexcept { take(other); }
    Delivery& operator=(const Delivery& other) {
        if (this != &other) *this = Delivery(other);
        return *this;
    }
    Delivery& operator=(Delivery&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    Delivery& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }
    template <typename F, typename = std::enable_if_t<!std::is_same<std::decay_t<F>, Delivery>::value>>
    Delivery& operator=(F&& f) {
        reset();
        emplace(std::forward<F>(f));
        return *this;
    }
    ~Delivery() { reset(); }

    explicit operator bool() const noexcept { return ops_ != nullptr; }
    void operator()(vonu::VONUCloudDelegate& delegate) { ops_->invoke(storage(), delegate); }

private:
    struct Ops {
        void (*invoke)(void*, vonu::VONUCloudDelegate&);
        void (*copy)(const void*, void*);
        void (*move)(void*, void*) noexcept;  // move-constructs into the second and destroys the first
        void (*destroy)(void*) noexcept;
    };
    // A callable too large (or not safely movable) to live inline.
    template <typename F>
    struct Boxed {
        std::unique_ptr<F> f;
        Boxed(const Boxed& other) : f(std::make_unique<F>(*other.f)) {}
        Boxed(Boxed&&) noexcept = default;
        explicit Boxed(F&& callable) : f(std::make_unique<F>(std::move(callable))) {}
        explicit Boxed(const F& callable) : f(std::make_unique<F>(callable)) {}
        void operator()(vonu::VONUCloudDelegate& d) { (*f)(d); }
    };
    template <typename T>
    static const Ops* ops_for() {
        static const Ops ops = {
            [](void* p, vonu::VONUCloudDelegate& d) { (*static_cast<T*>(p))(d); },
            [](const void* from, void* to) { new (to) T(*static_cast<const T*>(from)); },
            [](void* from, void* to) noexcept {
                new (to) T(std::move(*static_cast<T*>(from)));
                static_cast<T*>(from)->~T();
            },
            [](void* p) noexcept { static_cast<T*>(p)->~T(); },
        };
        return &ops;
    }
    template <typename F>
    void emplace(F&& f) {
        using Fn = std::decay_t<F>;
        if constexpr (sizeof(Fn) <= kInline && alignof(Fn) <= alignof(std::max_align_t) &&
                      std::is_nothrow_move_constructible<Fn>::value) {
            new (storage()) Fn(std::forward<F>(f));
            ops_ = ops_for<Fn>();
        } else {
            new (storage()) Boxed<Fn>(std::forward<F>(f));
            ops_ = ops_for<Boxed<Fn>>();
        }
    }
    void take(Delivery& other) noexcept {
        if (other.ops_ == nullptr) return;
        other.ops_->move(other.storage(), storage());
        ops_ = other.ops_;
        other.ops_ = nullptr;
    }
    void reset() noexcept {
        if (ops_ == nullptr) return;
        ops_->destroy(storage());
        ops_ = nullptr;
    }
    void* storage() noexcept { return buffer_; }
    const void* storage() const noexcept { return buffer_; }

    alignas(std::max_align_t) unsigned char buffer_[kInline];
    const Ops* ops_ = nullptr;
};

}  // namespace ostrel::loopback::events

#endif  // OSTREL_LOOPBACK_EVENTS_DELIVERY_H_
