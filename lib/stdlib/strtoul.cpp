// Unsigned integers in a chosen base. No sign is accepted and overflow wraps modulo 2^32.
#include <stdlib.h>

#include "internal/digits.h"
#include "internal/white_space.h"

using namespace vekos;

namespace {

// Settles the base from the text at p, consuming a 0x (or, in base 0, a lone 0) prefix.
int settle_base(const char *&p, int base) {
    if ((base == 0 || base == 16) && starts_with_hex_prefix(p)) {
        p += 2;
        return 16;
    }
    if (base != 0) return base;
    if (*p != '0') return 10;
    p++;
    return 8;
}

} // namespace

extern "C" {

unsigned long strtoul(const char *s, char **end, int base) {
    if (!s) {
        if (end) *end = nullptr;
        return 0;
    }
    const char *p = s;
    while (is_space_tab_line_feed_or_return(*p)) p++;
    base = settle_base(p, base);

    unsigned long value = 0;
    for (int digit; (digit = digit_in_base(*p, base)) != not_a_digit; p++)
        value = value * base + digit;

    // With no digit the end stays after the white space and prefix, never back at s.
    if (end) *end = const_cast<char *>(p);
    return value;
}

long strtol(const char *s, char **end, int base) {
    return static_cast<long>(strtoul(s, end, base));
}

} // extern "C"
