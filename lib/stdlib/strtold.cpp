// Floating-point numbers in decimal or hexadecimal notation, computed in the x87 80-bit
// format. There is no inf or nan; the sign is applied last, so -0 is negative zero.
#include <stdlib.h>

#include "internal/white_space.h"
#include "number_parse.h"

using namespace vekos;

extern "C" {

long double strtold(const char *s, char **end) {
    if (!s) {
        if (end) *end = nullptr;
        return 0.0L;
    }
    const char *p = s;
    while (is_space_or_tab_to_return(*p)) p++;
    int sign = 1;
    if (*p == '+' || *p == '-') sign = *p++ == '-' ? -1 : 1;

    long double acc = 0;
    bool converted;
    if (starts_with_hex_prefix(p)) {
        p += 2;
        converted = scan_hex_float(p, acc);
    } else {
        converted = scan_decimal_float(p, acc);
    }
    // No number: the end goes back to s, before white space and sign, and zero stays +0.
    if (!converted) p = s;
    if (end) *end = const_cast<char *>(p);
    return converted ? acc * static_cast<long double>(sign) : 0.0L;
}

} // extern "C"
