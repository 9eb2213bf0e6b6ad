// The buffer formatter: one pass over the format that counts every character of the
// complete output and stores those that fit the caller's array. Flags - 0 +, width and
// precision (digits or *), l/ll/z skipped, conversions d i u x X c s p %. Every value is
// one 32-bit argument word; anything unrecognised is copied as text and takes none.
#include <stdint.h>
#include <stdio.h>

#include "internal/digits.h"
#include "stdio_impl.h"

using namespace vekos;

namespace {

// The caller's array. A character is stored only while one byte is left for the
// terminator; the count always grows, so the result is the complete length. The count is
// kept in 64 bits so that an output past 4 GiB can't wrap back into storing: only the
// result is cut to 32 bits.
struct Output {
    char *buf;
    size_t size;
    unsigned long long count;

    bool fits() const { return buf && count + 1 < size; }
    void put(char c) {
        if (fits()) buf[count] = c;
        count++;
    }
    // A fill stores what fits and counts the rest without walking it, so a huge width
    // costs no more than the buffer it fills.
    void put_run(char c, long long times) {
        if (times <= 0) return;
        if (fits()) {
            unsigned long long room = size - 1 - count;
            unsigned long long stored = (unsigned long long)times < room ? times : room;
            for (char *to = buf + count; stored; stored--) *to++ = c;
        }
        count += (unsigned long long)times;
    }
    // What fits is copied in one tight loop; the count takes the whole length.
    void put_text(const char *text, unsigned length) {
        if (fits()) {
            unsigned long long room = size - 1 - count;
            const char *end = text + (length < room ? length : room);
            for (char *to = buf + count; text != end;) *to++ = *text++;
        }
        count += length;
    }
};

struct Directive {
    bool left = false;
    bool zero = false;
    bool plus = false;
    int width = 0;
    int precision = -1;
};

// Decimal digits, accumulated in 32 bits without bound: a huge width wraps.
const char *read_decimal(const char *p, int &value) {
    unsigned accumulated = 0;
    while (*p >= '0' && *p <= '9') accumulated = accumulated * 10 + unsigned(*p++ - '0');
    value = int(accumulated);
    return p;
}

// Reads flags, width, precision and length modifier after a percent sign, and returns the
// place of the conversion character.
const char *read_directive(const char *p, Directive &directive, va_list *ap) {
    for (;; p++) {
        if (*p == '-')
            directive.left = true;
        else if (*p == '0')
            directive.zero = true;
        else if (*p == '+')
            directive.plus = true;
        else
            break;
    }
    if (*p == '*') {
        directive.width = va_arg(*ap, int);
        p++;
    } else {
        p = read_decimal(p, directive.width);
    }
    if (*p == '.') {
        p++;
        if (*p == '*') {
            directive.precision = va_arg(*ap, int);
            p++;
        } else {
            p = read_decimal(p, directive.precision);
        }
    }
    if (*p == 'l') {
        p++;
        if (*p == 'l') p++;
    } else if (*p == 'z') {
        p++;
    }
    return p;
}

// d i u x X: the body is sign, leading zeros up to the precision, digits. Fill up to the
// width is spaces after the body with the minus flag; zeros between sign and digits with
// the zero flag and no precision; otherwise spaces before the body.
void put_number(Output &out, const Directive &directive, char sign, unsigned magnitude,
                unsigned base, bool upper) {
    char digits[24];
    int count = snbuf_render_unsigned(digits, magnitude, base, upper);
    long long zeros = directive.precision > count ? directive.precision - count : 0;
    long long body = (sign ? 1 : 0) + zeros + count;
    long long fill = directive.width > body ? directive.width - body : 0;
    if (!directive.left && !(directive.zero && directive.precision < 0)) out.put_run(' ', fill);
    if (sign) out.put(sign);
    if (!directive.left && directive.zero && directive.precision < 0) out.put_run('0', fill);
    out.put_run('0', zeros);
    out.put_text(digits, unsigned(count));
    if (directive.left) out.put_run(' ', fill);
}

// s: fill only ever goes before the string. With the minus flag the width is negated, so
// only a negative width (from an asterisk) fills. The negation is that of a 32-bit int,
// done unsigned to stay defined: -2147483648 stays negative and fills nothing.
void put_string(Output &out, const Directive &directive, const char *s) {
    if (!s) s = "(null)";
    // A negative precision compares as a huge limit. The scan stops at the limit, so an
    // array cut by the precision need not be terminated.
    unsigned limit = unsigned(directive.precision);
    unsigned length = 0;
    while (length < limit && s[length]) length++;
    long long width = directive.left ? int(0u - unsigned(directive.width)) : directive.width;
    if (length < width) out.put_run(' ', width - length);
    out.put_text(s, length);
}

void put_pointer(Output &out, const void *pointer) {
    char digits[24];
    int count =
        snbuf_render_unsigned(digits, unsigned(reinterpret_cast<uintptr_t>(pointer)), 16, 0);
    out.put('0');
    out.put('x');
    out.put_text(digits, unsigned(count));
}

void put_conversion(Output &out, const Directive &directive, char conversion, va_list *ap) {
    switch (conversion) {
    case 'd':
    case 'i': {
        int value = va_arg(*ap, int);
        char sign = value < 0 ? '-' : directive.plus ? '+' : 0;
        unsigned magnitude = value < 0 ? 0u - unsigned(value) : unsigned(value);
        put_number(out, directive, sign, magnitude, 10, false);
        break;
    }
    case 'u':
        put_number(out, directive, 0, va_arg(*ap, unsigned), 10, false);
        break;
    case 'x':
        put_number(out, directive, 0, va_arg(*ap, unsigned), 16, false);
        break;
    case 'X':
        put_number(out, directive, 0, va_arg(*ap, unsigned), 16, true);
        break;
    case 'c':
        out.put(char(va_arg(*ap, int)));
        break;
    case 's':
        put_string(out, directive, va_arg(*ap, const char *));
        break;
    case 'p':
        put_pointer(out, va_arg(*ap, const void *));
        break;
    case '%':
        out.put('%');
        break;
    default:
        out.put('%');
        out.put(conversion);
        break;
    }
}

// Formats everything up to the end of the format or the first NUL inside a directive.
void format_all(Output &out, const char *p, va_list *ap) {
    while (*p) {
        if (*p != '%') {
            const char *text = p;
            while (*p && *p != '%') p++;
            out.put_text(text, unsigned(p - text));
            continue;
        }
        Directive directive;
        p = read_directive(p + 1, directive, ap);
        char conversion = *p;
        if (!conversion) return;
        p++;
        put_conversion(out, directive, conversion, ap);
    }
}

} // namespace

extern "C" {

int snbuf_render_unsigned(char *digits, unsigned value, unsigned base, int upper) {
    // Only the engine's own bases are rendered: any other would divide by zero, never end
    // or index past the digit table.
    if (base < 2 || base > 16) return 0;
    const char *table = upper ? upper_digits : lower_digits;
    int count = 0;
    for (;;) {
        digits[count++] = table[value % base];
        if (value < base) break;
        value /= base;
    }
    for (int i = 0, j = count - 1; i < j; i++, j--) {
        char swap = digits[i];
        digits[i] = digits[j];
        digits[j] = swap;
    }
    return count;
}

int vsnprintf(char *buf, size_t size, const char *format, va_list ap) {
    Output out = {buf, size, 0};
    if (format) {
        va_list args;
        va_copy(args, ap);
        format_all(out, format, &args);
        va_end(args);
    }
    if (buf && size) buf[out.count < size ? out.count : size - 1] = '\0';
    return int(unsigned(out.count));
}

} // extern "C"
