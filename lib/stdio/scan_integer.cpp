// The integer conversions of the scan engine: its own digit loop, 32-bit wrapping values.
#include "scan_impl.h"

namespace vekos {

namespace {

// Larger than every base, so a byte that is no digit ends every number.
constexpr unsigned not_a_digit = 99;

unsigned digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return not_a_digit;
}

// %i: 0x and hexadecimal digits, a leading 0 and octal digits (the 0 is one of them), or
// decimal. Moves p past a 0x prefix.
unsigned settle_integer_base(const char *&p) {
    if (p[0] != '0') return 10;
    if (p[1] == 'x' || p[1] == 'X') {
        p += 2;
        return 16;
    }
    return 8;
}

} // namespace

bool scan_integer(const char *&p, char conversion, unsigned &value) {
    const char *q = p;
    while (is_blank(*q)) q++;
    bool negative = false;
    if (conversion != 'u' && (*q == '+' || *q == '-')) negative = *q++ == '-';

    unsigned base = 10;
    if (conversion == 'x' || conversion == 'X') base = 16;
    if (conversion == 'i') base = settle_integer_base(q);
    if (digit_value(*q) >= base) return false;

    unsigned total = 0;
    for (unsigned digit; (digit = digit_value(*q)) < base; q++) total = total * base + digit;
    value = negative ? 0u - total : total;
    p = q;
    return true;
}

} // namespace vekos
