// Frames of one sending stream kept for reuse by the copies its sends make.
//
// A send keeps a copy of the caller's frame. A raw 1080p frame is 3 MB, and a fresh buffer that
// size comes from the kernel page by page: hundreds of page faults, several milliseconds on the
// caller's thread while it holds its locks (and, through the binding, the GIL). Once the receivers
// and the stream's worker are done with a copy it comes back here, and the next send copies into
// its payload, whose pages are already there.
//
// A pool grows when a send finds no frame to reuse (the stream has more frames in flight than
// ever before: its worker fell behind, say), and that fresh frame faults in on the sender's
// thread. fill() grows it ahead of need instead: the stream's worker, once done with a frame,
// makes frames like it up to the bound, so that the sender's thread meets fresh pages only for
// the first frames a stream sends (and for a frame of a new, larger size).
//
// The pool is shared by the stream that owns it and held weakly by the frames it lent: a frame
// whose stream has ended is simply freed. Giving a frame back only tries the pool's mutex, so a
// frame released anywhere (an event thread, a worker, a fork child that inherited it) never waits.
#ifndef OSTREL_LOOPBACK_ENGINE_FRAME_POOL_H_
#define OSTREL_LOOPBACK_ENGINE_FRAME_POOL_H_

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace ostrel::loopback::engine {

template <typename Frame>
class FramePool : public std::enable_shared_from_this<FramePool<Frame>> {
public:
    // Frames kept at most: enough for those a stream has in flight while its worker catches up
    // with a key frame; more are freed when they come back.
    static constexpr size_t kKept = 4;

    // A copy of `frame`, into a kept frame when there is one. Returned to the pool when the last
    // holder lets go of it.
    std::shared_ptr<const Frame> copy(const Frame& frame) {
        std::unique_ptr<Frame> kept;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                kept = std::move(free_.back());
                free_.pop_back();
            }
        }
        if (kept) {
            *kept = frame;  // reuses the kept payload's buffer when it is large enough
        } else {
            kept = std::make_unique<Frame>(frame);
            made_.fetch_add(1, std::memory_order_relaxed);
        }
        return std::shared_ptr<const Frame>(kept.release(), GiveBack{this->weak_from_this()});
    }

    // Makes copies of `like` until the pool has made kKept frames in all (kept or lent), on the
    // calling thread: a stream's worker, so that no send has to.
    void fill(const Frame& like) {
        for (;;) {
            size_t made = made_.load(std::memory_order_relaxed);
            do {
                if (made >= kKept) return;
            } while (!made_.compare_exchange_weak(made, made + 1, std::memory_order_relaxed));
            auto spare = std::make_unique<Frame>(like);  // its pages fault in here
            std::lock_guard<std::mutex> lock(mutex_);
            free_.push_back(std::move(spare));
        }
    }

    // Frames waiting for reuse (for tests).
    size_t kept() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return free_.size();
    }

private:
    // The deleter of a lent frame: back to its pool if that still exists and has room, else freed.
    struct GiveBack {
        std::weak_ptr<FramePool> pool;  // the lender; gone once its stream ended
        void operator()(const Frame* frame) const {
            std::unique_ptr<Frame> owned(const_cast<Frame*>(frame));
            if (std::shared_ptr<FramePool> p = pool.lock()) p->give_back(std::move(owned));
        }
    };

    void give_back(std::unique_ptr<Frame> frame) {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (lock.owns_lock() && free_.size() < kKept) {
            free_.push_back(std::move(frame));
        } else {
            made_.fetch_sub(1, std::memory_order_relaxed);  // freed here, after the lock
        }
    }

    mutable std::mutex mutex_;                  // guards free_; a leaf, only tried when giving back
    std::vector<std::unique_ptr<Frame>> free_;  // frames ready for the next copy
    std::atomic<size_t> made_{0};               // frames made and not freed: kept, lent or being filled
};

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_FRAME_POOL_H_
