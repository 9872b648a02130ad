// Texts the control interface hands to C callers, who release them with ostrel_loopback_free.
#ifndef OSTREL_LOOPBACK_CONTROL_C_TEXT_H_
#define OSTREL_LOOPBACK_CONTROL_C_TEXT_H_

#include <string>

namespace ostrel::loopback::control {

// A malloc'd copy of the text; null when out of memory.
char* malloc_text(const std::string& text);

}  // namespace ostrel::loopback::control

#endif  // OSTREL_LOOPBACK_CONTROL_C_TEXT_H_
