// C interface of the loopback SDK's test controls, used by the Python module ostrel_loopback.
#include <cstdlib>
#include <cstring>
#include <string>

#include "recorder.h"

namespace rec = ostrel::loopback::recorder;

namespace {

char* to_c_string(const std::string& text) {
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void ostrel_loopback_record(int on) { rec::set_enabled(on != 0); }

__attribute__((visibility("default"))) void ostrel_loopback_clear() { rec::clear(); }

// The recorded calls as a Python literal; release with ostrel_loopback_free.
__attribute__((visibility("default"))) char* ostrel_loopback_calls() { return to_c_string(rec::dump()); }

__attribute__((visibility("default"))) void ostrel_loopback_free(char* text) { std::free(text); }

}  // extern "C"
