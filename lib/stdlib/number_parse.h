// The limits and steps of strtold. Private to the library.
#pragma once

#include "internal/digits.h"

namespace vekos {

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
