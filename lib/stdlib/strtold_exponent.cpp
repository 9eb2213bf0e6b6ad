// The exponent of a floating-point number, shared by the decimal and hexadecimal forms.
#include "number_parse.h"

namespace vekos {

bool scan_exponent(const char *&p, char letter, int &exponent) {
    if ((*p | 0x20) != letter) return false;
    const char *q = p + 1;
    bool negative = *q == '-';
    if (*q == '+' || *q == '-') q++;
    if (!is_decimal_digit(*q)) return false;

    int value = 0;
    for (; is_decimal_digit(*q); q++) {
        value = value * 10 + (*q - '0');
        if (value > max_exponent) value = max_exponent;
    }
    exponent = negative ? -value : value;
    p = q;
    return true;
}

} // namespace vekos
