// strtoll and strtoull as ISO C has them, for ported programs: a sign, base 0 or 2 to 36,
// and values held at the type's limits with errno ERANGE. strtol and strtoul (strtoul.cpp)
// keep the library's own rules: no sign, and wrapping.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include "internal/white_space.h"

namespace {

struct Parsed {
    unsigned long long magnitude = 0;
    bool negative = false;
    bool too_large = false; // the digits' value passed ULLONG_MAX; magnitude is then that
    const char *end;        // s itself when there are no digits
};

// 0-9, then a-z and A-Z as 10 to 35; 36, at or above every base, for any other byte.
int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 36;
}

Parsed parse(const char *s, int base) {
    Parsed parsed;
    parsed.end = s;
    const char *p = s;
    while (vekos::is_space_or_tab_to_return(*p)) p++;
    parsed.negative = *p == '-';
    if (*p == '-' || *p == '+') p++;
    // "0x" counts as a prefix only with a hexadecimal digit behind it; else the 0 is the number.
    if ((base == 0 || base == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        digit_value(p[2]) < 16) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = *p == '0' ? 8 : 10;
    }
    const char *digits = p;
    for (int digit; (digit = digit_value(*p)) < base; p++) {
        unsigned long long next;
        if (__builtin_mul_overflow(parsed.magnitude, unsigned(base), &next) ||
            __builtin_add_overflow(next, unsigned(digit), &next)) {
            parsed.too_large = true;
            next = ULLONG_MAX;
        }
        parsed.magnitude = next;
    }
    if (p != digits) parsed.end = p;
    return parsed;
}

// Parses s and stores the end. False, with end at s, for a null s or a base out of range
// (which sets errno to EINVAL): the result is then 0.
bool parse_into(Parsed &parsed, const char *s, char **end, int base) {
    bool valid = s && base >= 0 && base != 1 && base <= 36;
    if (valid) parsed = parse(s, base);
    if (end) *end = const_cast<char *>(valid ? parsed.end : s);
    if (s && !valid) errno = EINVAL;
    return valid;
}

} // namespace

extern "C" {

long long strtoll(const char *s, char **end, int base) {
    Parsed parsed;
    if (!parse_into(parsed, s, end, base)) return 0;
    unsigned long long limit =
        parsed.negative ? static_cast<unsigned long long>(LLONG_MAX) + 1 : LLONG_MAX;
    if (parsed.too_large || parsed.magnitude > limit) {
        errno = ERANGE;
        return parsed.negative ? LLONG_MIN : LLONG_MAX;
    }
    return parsed.negative ? static_cast<long long>(0 - parsed.magnitude)
                           : static_cast<long long>(parsed.magnitude);
}

unsigned long long strtoull(const char *s, char **end, int base) {
    Parsed parsed;
    if (!parse_into(parsed, s, end, base)) return 0;
    if (parsed.too_large) {
        errno = ERANGE;
        return ULLONG_MAX;
    }
    return parsed.negative ? 0 - parsed.magnitude : parsed.magnitude;
}

} // extern "C"
