// The exponent of a floating-point number, shared by the decimal and hexadecimal forms.
#include "number_parse.h"

namespace vekos {

bool scan_exponent(const char *&p, char letter, int &exponent) {
    if ((*p | 0x20) != letter) return false;
    const char *q = p + 1;
    bool negative = *q == '-';
    if (*q == '+' || *q == '-') q++;
    if (!is_decimal_digit(*q)) return false;

    int value = int(read_decimal_capped(q, max_exponent));
    exponent = negative ? -value : value;
    p = q;
    return true;
}

} // namespace vekos
