// Digits, limits and the steps of strtold shared by the number parsers. Private to the
// library.
#pragma once

namespace vekos {

// Larger than every base, so a byte that is no digit fails every "digit < base" test.
constexpr int not_a_digit = 99;

// 0-9 are 0 to 9; a-f and A-F are 10 to 15 whatever the base; nothing else is a digit.
inline int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return not_a_digit;
}

inline bool is_decimal_digit(char c) {
    return c >= '0' && c <= '9';
}

inline bool is_hex_digit(char c) {
    return digit_value(c) < 16;
}

// strtold builds its value in an 80-bit accumulator, one rounded operation per step and
// no table of powers. Scaling loops never run more than this many steps.
constexpr int max_scaling_steps = 1024;
// Exponent digits saturate here, so no exponent can overflow its counter.
constexpr int max_exponent = 4096;

// Scan the number after its sign (and, for hexadecimal, after the 0x) into value. On
// success p moves past the number; with no digit, nothing moves and the result is false.
bool scan_decimal_float(const char *&p, long double &value);
bool scan_hex_float(const char *&p, long double &value);

// At an exponent letter (e or E, p or P as given in lower case): consumes the letter, an
// optional sign and the digits, and stores the signed value held at +-max_exponent.
// Without a digit behind the letter and sign, nothing is consumed and the result is false.
bool scan_exponent(const char *&p, char letter, int &exponent);

} // namespace vekos
