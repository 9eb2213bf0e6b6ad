// Digits as every parser and formatter of the library reads and writes them. Private to
// the library.
#pragma once

namespace vekos {

inline constexpr char lower_digits[] = "0123456789abcdef";
inline constexpr char upper_digits[] = "0123456789ABCDEF";

// Below every base, so no base, however large, turns a byte that is no digit into one.
constexpr int not_a_digit = -1;

// 0-9 are 0 to 9; a-f and A-F are 10 to 15 whatever the base; every other byte, the NUL
// included, is not_a_digit.
[[gnu::always_inline]] constexpr int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return not_a_digit;
}

// c's value when it is a digit whose value is below base (a signed comparison, so a
// negative base has no digits), else not_a_digit.
[[gnu::always_inline]] constexpr int digit_in_base(char c, int base) {
    int digit = digit_value(c);
    return digit < base ? digit : not_a_digit;
}

[[gnu::always_inline]] constexpr bool is_decimal_digit(char c) {
    return c >= '0' && c <= '9';
}

// 0x or 0X.
[[gnu::always_inline]] constexpr bool starts_with_hex_prefix(const char *p) {
    return p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
}

// Decimal digits at p, held at cap once they reach it, so a long run can't wrap. p moves
// past them all; no digits give 0.
[[gnu::always_inline]] inline unsigned read_decimal_capped(const char *&p, unsigned cap) {
    unsigned value = 0;
    for (; is_decimal_digit(*p); p++) {
        unsigned next;
        bool wraps = __builtin_mul_overflow(value, 10u, &next) ||
                     __builtin_add_overflow(next, unsigned(*p - '0'), &next);
        value = wraps || next > cap ? cap : next;
    }
    return value;
}

} // namespace vekos
