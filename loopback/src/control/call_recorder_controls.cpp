// The call recorder's part of the C control interface, and the release of returned texts.
#include <cstdlib>
#include <cstring>
#include <string>

#include "call_recorder.h"
#include "control/c_text.h"
#include "control/loopback_control.h"

namespace rec = ostrel::loopback::call_recorder;

char* ostrel::loopback::control::malloc_text(const std::string& text) {
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

extern "C" {

void ostrel_loopback_record(int on) { rec::set_enabled(on != 0); }

void ostrel_loopback_clear() { rec::clear(); }

char* ostrel_loopback_calls() { return ostrel::loopback::control::malloc_text(rec::dump()); }

unsigned long long ostrel_loopback_calls_forgotten() { return static_cast<unsigned long long>(rec::forgotten()); }

void ostrel_loopback_free(char* text) { std::free(text); }

}  // extern "C"
