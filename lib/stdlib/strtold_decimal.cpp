// Decimal floating-point numbers: digits, an optional fraction, an optional exponent.
#include "number_parse.h"

namespace vekos {

namespace {

void scale_by_ten(long double &acc, int exponent) {
    for (int i = 0; i < exponent && i < max_scaling_steps; i++) acc = acc * 10;
    for (int i = 0; i < -exponent && i < max_scaling_steps; i++) acc = acc / 10;
}

} // namespace

bool scan_decimal_float(const char *&p, long double &result) {
    const char *q = p;
    long double acc = 0;
    bool any_digit = false;
    for (; is_decimal_digit(*q); q++) {
        acc = acc * 10;
        acc = acc + (*q - '0');
        any_digit = true;
    }
    if (*q == '.' && (any_digit || is_decimal_digit(q[1]))) {
        q++;
        int fraction_digits = 0;
        for (; is_decimal_digit(*q); q++) {
            any_digit = true;
            // Only max_scaling_steps divisions follow; a digit past them would only
            // multiply the value by ten, so it is read and dropped.
            if (fraction_digits == max_scaling_steps) continue;
            acc = acc * 10;
            acc = acc + (*q - '0');
            fraction_digits++;
        }
        for (int i = 0; i < fraction_digits; i++) acc = acc / 10;
    }
    if (!any_digit) return false;

    int exponent;
    if (scan_exponent(q, 'e', exponent)) scale_by_ten(acc, exponent);
    result = acc;
    p = q;
    return true;
}

} // namespace vekos
