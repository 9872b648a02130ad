#include "engine/engine.h"

namespace ostrel::loopback::engine {

namespace {
ProcessLocal<Engine> g_engine;
}  // namespace

Engine& Engine::get() { return g_engine.get(); }

void Engine::forget_in_child() {
    // The report interval is a setting of the simulation, not part of a room: the child keeps it.
    const Engine* parent = g_engine.forget_in_child();
    if (parent != nullptr) g_engine.get().quality_.interval_ms = parent->quality_.interval_ms;
}

}  // namespace ostrel::loopback::engine
