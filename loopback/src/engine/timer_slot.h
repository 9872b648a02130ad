// Cancellation of timed work. Work posted to the service thread (paced audio, a simulated
// reconnect, network-quality reports) carries the ticket it was armed with and does nothing
// once its slot has moved on, so cancelling never has to find the posted task.
#ifndef OSTREL_LOOPBACK_ENGINE_TIMER_SLOT_H_
#define OSTREL_LOOPBACK_ENGINE_TIMER_SLOT_H_

#include <cstdint>

namespace ostrel::loopback::engine {

// One kind of timed work of one owner. Guarded by the engine lock, like its owner.
class TimerSlot {
public:
    // Starts a new run of the work; every older ticket goes stale.
    uint64_t arm() {
        armed_ = true;
        return ++generation_;
    }
    // Stops the work: every ticket goes stale.
    void cancel() {
        armed_ = false;
        ++generation_;
    }
    // The running work ended by itself; its ticket needs no cancelling.
    void disarm() { armed_ = false; }

    bool armed() const { return armed_; }
    // True while work holding `ticket` should still run.
    bool live(uint64_t ticket) const { return ticket == generation_; }

private:
    uint64_t generation_ = 0;  // the newest ticket handed out
    bool armed_ = false;       // work of the newest ticket is posted and running
};

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_TIMER_SLOT_H_
