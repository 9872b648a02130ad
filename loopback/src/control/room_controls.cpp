// The room simulation's part of the C control interface (all but inject, see inject.cpp).
#include <string>

#include "call_recorder.h"
#include "control/c_text.h"
#include "control/loopback_control.h"
#include "engine/codec_count.h"
#include "engine/custom_messages.h"
#include "engine/network_quality.h"
#include "engine/test_controls.h"
#include "events/sdk_counters.h"

namespace engine = ostrel::loopback::engine;
namespace events = ostrel::loopback::events;

using ostrel::loopback::control::text;

extern "C" {

int ostrel_loopback_wait_idle(double timeout_seconds) { return engine::wait_idle(timeout_seconds) ? 1 : 0; }

int ostrel_loopback_set_network_quality(const char* user_id, int quality) {
    return engine::set_network_quality(text(user_id), quality);
}

void ostrel_loopback_set_quality_interval(int ms) { engine::set_quality_interval(ms); }

int ostrel_loopback_quality_interval() { return engine::quality_interval(); }

int ostrel_loopback_drop_messages(const char* user_id, uint32_t count) {
    return engine::drop_messages(text(user_id), count);
}

int ostrel_loopback_disconnect(const char* user_id, int ms) { return engine::disconnect(text(user_id), ms); }

int ostrel_loopback_raise_error(const char* user_id, int code) { return engine::raise_error(text(user_id), code); }

int ostrel_loopback_kick(const char* user_id, int reason) {
    // The members leave their rooms as the engine, not as calls of the application.
    ostrel::loopback::call_recorder::Mute mute;
    return engine::kick(text(user_id), reason);
}

void ostrel_loopback_fail_next_create() { engine::fail_next_create(); }

char* ostrel_loopback_escaped() {
    std::string out = "[";
    for (const std::string& t : events::escaped()) {
        out += ostrel::loopback::call_recorder::bytes_literal(t.data(), t.size());
        out += ", ";
    }
    out += "]";
    return ostrel::loopback::control::malloc_text(out);
}

void ostrel_loopback_clear_escaped() { events::clear_escaped(); }

int ostrel_loopback_disown_running() { return engine::disown_running(); }

int ostrel_loopback_live_instances() { return engine::live_instances(); }

char* ostrel_loopback_instances() {
    namespace rec = ostrel::loopback::call_recorder;
    std::string out = "[";
    for (const engine::LiveInstance& live : engine::instances()) {
        out += "(" + std::to_string(live.id) + ", ";
        if (live.in_room) {
            out += rec::bytes_literal(live.user_id.data(), live.user_id.size()) + ", ";
            out += rec::bytes_literal(live.room_id.data(), live.room_id.size());
        } else {
            out += "None, None";
        }
        out += "), ";
    }
    out += "]";
    return ostrel::loopback::control::malloc_text(out);
}

int ostrel_loopback_sdk_threads() { return events::sdk_threads(); }

int ostrel_loopback_callbacks_running() { return events::callbacks_running(); }

unsigned long long ostrel_loopback_dropped() { return static_cast<unsigned long long>(events::total_dropped()); }

unsigned long long ostrel_loopback_send_dropped() {
    return static_cast<unsigned long long>(events::total_send_dropped());
}

unsigned long long ostrel_loopback_undecodable() {
    return static_cast<unsigned long long>(events::total_undecodable());
}

int ostrel_loopback_codecs(int kind) { return engine::live_codecs(kind); }

}  // extern "C"
