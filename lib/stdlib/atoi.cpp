// Signed decimal integers; the value wraps in 32 bits.
#include <stdlib.h>

#include "number_parse.h"

using namespace vekos;

extern "C" {

int atoi(const char *s) {
    if (!s) return 0;
    while (*s == '\t' || *s == '\n' || *s == ' ') s++;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') s++;

    unsigned value = 0;
    for (; is_decimal_digit(*s); s++) value = value * 10 + (*s - '0');
    return static_cast<int>(negative ? 0u - value : value);
}

long atol(const char *s) {
    return atoi(s);
}

} // extern "C"
