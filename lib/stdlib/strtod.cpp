// Doubles: strtold's value rounded to 64 bits.
#include <stdlib.h>

extern "C" {

double strtod(const char *s, char **end) {
    // The store is what rounds: x87 registers keep all 80 bits.
    volatile double rounded = static_cast<double>(strtold(s, end));
    return rounded;
}

} // extern "C"
