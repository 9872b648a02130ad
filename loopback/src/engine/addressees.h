// The members a sent frame is for, named when it is sent, for a send worker that delivers it
// later: only those still in the same stay in the room (and still receiving, as the caller
// judges) get it. Guarded by the engine lock, like the members themselves.
#ifndef OSTREL_LOOPBACK_ENGINE_ADDRESSEES_H_
#define OSTREL_LOOPBACK_ENGINE_ADDRESSEES_H_

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/engine.h"

namespace ostrel::loopback::engine {

// A member a frame was sent to.
struct Addressee {
    std::weak_ptr<InstanceState> member;  // the receiver
    uint64_t stay = 0;                    // its stay in the room at the send
};

inline std::vector<Addressee> addressees(const std::vector<InstancePtr>& members) {
    std::vector<Addressee> out;
    out.reserve(members.size());
    for (const InstancePtr& m : members) out.push_back(Addressee{m, m->session.stay});
    return out;
}

// Those of `to` still in the stay they had at the send, in `sender`'s room, for which
// `receives(member)` holds.
template <typename Receives>
std::vector<InstancePtr> still_addressed(const EngineLock& lock, const InstanceState& sender,
                                         const std::vector<Addressee>& to, Receives&& receives) {
    (void)lock;
    std::vector<InstancePtr> out;
    for (const Addressee& a : to) {
        InstancePtr m = a.member.lock();
        if (m && m->session.stay == a.stay && m->session.room == sender.session.room && receives(*m))
            out.push_back(std::move(m));
    }
    return out;
}

}  // namespace ostrel::loopback::engine

#endif  // OSTREL_LOOPBACK_ENGINE_ADDRESSEES_H_
