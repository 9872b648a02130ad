// Texts crossing the control interface: those C callers pass in, and those it hands to them,
// which they release with ostrel_loopback_free.
#ifndef OSTREL_LOOPBACK_CONTROL_C_TEXT_H_
#define OSTREL_LOOPBACK_CONTROL_C_TEXT_H_

#include <string>

namespace ostrel::loopback::control {

// A C caller's text; null reads as the empty text.
inline std::string text(const char* s) { return s ? std::string(s) : std::string(); }

// A malloc'd copy of the text; null when out of memory.
char* malloc_text(const std::string& text);

}  // namespace ostrel::loopback::control

#endif  // OSTREL_LOOPBACK_CONTROL_C_TEXT_H_
