// Hexadecimal floating-point numbers after their 0x: digits, an optional fraction and an
// optional power-of-two exponent.
#include "number_parse.h"

namespace vekos {

namespace {

void scale_by_two(long double &acc, int exponent) {
    for (int i = 0; i < exponent && i < max_scaling_steps; i++) acc = acc + acc;
    for (int i = 0; i < -exponent && i < max_scaling_steps; i++) acc = acc * 0.5L;
}

} // namespace

bool scan_hex_float(const char *&p, long double &result) {
    const char *q = p;
    long double acc = 0;
    bool any_digit = false;
    for (int digit; (digit = digit_in_base(*q, 16)) != not_a_digit; q++) {
        acc = acc * 16;
        acc = acc + digit;
        any_digit = true;
    }
    if (*q == '.') {
        q++;
        int fraction_digits = 0;
        for (int digit; (digit = digit_in_base(*q, 16)) != not_a_digit; q++) {
            any_digit = true;
            // As in the decimal form: digits past the last scaling step are dropped.
            if (fraction_digits == max_scaling_steps) continue;
            acc = acc * 16;
            acc = acc + digit;
            fraction_digits++;
        }
        for (int i = 0; i < fraction_digits; i++) acc = acc * 0.0625L;
    }
    if (!any_digit) return false;

    int exponent;
    if (scan_exponent(q, 'p', exponent)) scale_by_two(acc, exponent);
    result = acc;
    p = q;
    return true;
}

} // namespace vekos
