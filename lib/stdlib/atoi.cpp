// Signed decimal integers; the value wraps in 32 bits.
#include <stdlib.h>

#include "internal/digits.h"
#include "internal/white_space.h"

using namespace vekos;

extern "C" {

int atoi(const char *s) {
    if (!s) return 0;
    while (is_space_tab_or_line_feed(*s)) s++;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') s++;
    unsigned value = 0;
    for (; is_decimal_digit(*s); s++) value = value * 10 + unsigned(*s - '0');
    return static_cast<int>(negative ? 0u - value : value);
}

long atol(const char *s) {
    return atoi(s);
}

} // extern "C"
