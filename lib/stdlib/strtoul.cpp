// Unsigned integers in a chosen base. No sign is accepted and overflow wraps modulo 2^32.
#include <stdlib.h>

#include "number_parse.h"

using namespace vekos;

namespace {

// Vertical tab and form feed are deliberately not white space for this family.
bool is_integer_space(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

bool is_x(char c) {
    return c == 'x' || c == 'X';
}

// Settles the base from the text at p, consuming a 0x (or, in base 0, a lone 0) prefix.
int settle_base(const char *&p, int base) {
    if (base == 0) {
        if (p[0] != '0') return 10;
        if (is_x(p[1])) {
            p += 2;
            return 16;
        }
        p += 1;
        return 8;
    }
    if (base == 16 && p[0] == '0' && is_x(p[1])) p += 2;
    return base;
}

} // namespace

extern "C" {

unsigned long strtoul(const char *s, char **end, int base) {
    if (!s) {
        if (end) *end = nullptr;
        return 0;
    }
    const char *p = s;
    while (is_integer_space(*p)) p++;
    base = settle_base(p, base);

    unsigned long value = 0;
    for (int digit; (digit = digit_value(*p)) < base; p++) value = value * base + digit;

    // With no digit the end stays after the white space and prefix, never back at s.
    if (end) *end = const_cast<char *>(p);
    return value;
}

long strtol(const char *s, char **end, int base) {
    return static_cast<long>(strtoul(s, end, base));
}

} // extern "C"
