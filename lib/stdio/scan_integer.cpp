// The integer conversions of the scan engine: its own digit loop, 32-bit wrapping values.
#include "internal/digits.h"
#include "scan_impl.h"

namespace vekos {

namespace {

// %i: 0x and hexadecimal digits, a leading 0 and octal digits (the 0 is one of them), or
// decimal. Moves p past a 0x prefix.
int settle_integer_base(const char *&p) {
    if (starts_with_hex_prefix(p)) {
        p += 2;
        return 16;
    }
    return *p == '0' ? 8 : 10;
}

} // namespace

bool scan_integer(const char *&p, char conversion, unsigned &value) {
    const char *q = p;
    while (is_space_or_tab(*q)) q++;
    bool negative = false;
    if (conversion != 'u' && (*q == '+' || *q == '-')) negative = *q++ == '-';

    int base = 10;
    if (conversion == 'x' || conversion == 'X') base = 16;
    if (conversion == 'i') base = settle_integer_base(q);
    if (digit_in_base(*q, base) == not_a_digit) return false;

    unsigned total = 0;
    for (int digit; (digit = digit_in_base(*q, base)) != not_a_digit; q++)
        total = total * base + digit;
    value = negative ? 0u - total : total;
    p = q;
    return true;
}

} // namespace vekos
