// Validation of UTF-8 text, for the user ids the SDK accepts.
//
// Design: a strict check after RFC 3629 (the Unicode standard's well-formed UTF-8): no
// overlong forms, no surrogates (U+D800 to U+DFFF), nothing above U+10FFFF, no stray or
// missing continuation bytes. User ids reach every other member's callbacks, whose bindings
// convert them to text, so an id that is not UTF-8 is refused where it enters rather than
// failing each conversion later.
#ifndef OSTREL_LOOPBACK_UTF8_H_
#define OSTREL_LOOPBACK_UTF8_H_

#include <cstddef>
#include <cstdint>

namespace ostrel::loopback {

// True if the NUL-terminated `text` is well-formed UTF-8.
inline bool valid_utf8(const char* text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        // Length of the sequence and the range its second byte must fall into (narrower than
        // 80..BF right after E0, ED, F0 and F4, which rules out overlong forms, surrogates and
        // code points above U+10FFFF).
        int length = 0;
        unsigned char low = 0x80, high = 0xbf;
        if (c >= 0xc2 && c <= 0xdf) {
            length = 2;
        } else if (c >= 0xe0 && c <= 0xef) {
            length = 3;
            if (c == 0xe0) low = 0xa0;
            if (c == 0xed) high = 0x9f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            length = 4;
            if (c == 0xf0) low = 0x90;
            if (c == 0xf4) high = 0x8f;
        } else {
            return false;  // a continuation byte without a lead, C0, C1 or F5 to FF
        }
        if (p[1] < low || p[1] > high) return false;  // also stops at the terminating NUL
        for (int i = 2; i < length; ++i) {
            if (p[i] < 0x80 || p[i] > 0xbf) return false;
        }
        p += length;
    }
    return true;
}

}  // namespace ostrel::loopback

#endif  // OSTREL_LOOPBACK_UTF8_H_
