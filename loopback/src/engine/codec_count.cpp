#include "engine/codec_count.h"

#include <atomic>

namespace ostrel::loopback::engine {

namespace {
std::atomic<int> g_live[kCodecKinds];  // by CodecKind
}  // namespace

void count_codec(CodecKind kind, int change) {
    g_live[static_cast<int>(kind)].fetch_add(change, std::memory_order_relaxed);
}

int live_codecs(int kind) {
    if (kind < 0 || kind >= kCodecKinds) return -1;
    return g_live[kind].load(std::memory_order_relaxed);
}

void forget_codecs_in_child() {
    for (auto& live : g_live) live.store(0, std::memory_order_relaxed);
}

}  // namespace ostrel::loopback::engine
