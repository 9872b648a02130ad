// Texts between the control interface and its C callers: those it takes (user ids, as C
// strings that may be null) and those it hands back, which callers release with
// ostrel_loopback_free.
#ifndef OSTREL_LOOPBACK_CONTROL_C_TEXT_H_
#define OSTREL_LOOPBACK_CONTROL_C_TEXT_H_

#include <string>

namespace ostrel::loopback::control {

// A malloc'd copy of the text; null when out of memory.
char* malloc_text(const std::string& text);

// A C caller's text as a string; empty for a null pointer.
inline std::string text(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

}  // namespace ostrel::loopback::control

#endif  // OSTREL_LOOPBACK_CONTROL_C_TEXT_H_
