// The stream formatter: nothing is assembled in a buffer; each literal byte, fill space,
// sign, prefix byte and leading zero is its own file_write_bytes call, and the digits of
// a number or the bytes of a string are one call. No flags, no X, no z; ll makes d i u x
// p 64-bit; width and precision apply to p too. The first failed write ends the call.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "internal/digits.h"
#include "stdio_impl.h"

using namespace vekos;

namespace {

// One call's output: the stream, the bytes written so far, and the arguments.
struct Writer {
    FILE *stream;
    unsigned count;
    va_list args;

    bool write(const char *data, size_t length) {
        if (file_write_bytes(stream, data, length) != 0) return false;
        count += unsigned(length);
        return true;
    }
    bool write_byte(char byte) { return write(&byte, 1); }
    bool write_run(char byte, long long times) {
        for (; times > 0; times--) {
            if (!write_byte(byte)) return false;
        }
        return true;
    }
};

struct Directive {
    int width = 0;
    int precision = -1;
    bool wide = false; // ll: the value is 64 bits
    char conversion = 0;
};

// Decimal digits, accumulated in 32 bits without bound: a huge width wraps.
int read_decimal(const char *&p) {
    unsigned value = 0;
    while (*p >= '0' && *p <= '9') value = value * 10 + unsigned(*p++ - '0');
    return int(value);
}

// Reads what follows a percent sign; the conversion is NUL when the format ends first.
Directive read_directive(const char *&p, Writer &w) {
    Directive directive;
    if (*p == '*') {
        directive.width = va_arg(w.args, int);
        p++;
    } else {
        directive.width = read_decimal(p);
    }
    if (*p == '.') {
        p++;
        if (*p == '*') {
            directive.precision = va_arg(w.args, int);
            p++;
        } else {
            directive.precision = read_decimal(p);
        }
    }
    if (*p == 'l') {
        p++;
        if (*p == 'l') {
            directive.wide = true;
            p++;
        }
    }
    directive.conversion = *p;
    if (*p) p++;
    return directive;
}

// d i u x p: fill spaces, minus sign, 0x, leading zeros, then the digits in one call.
bool write_number(Writer &w, const Directive &directive, unsigned long long value, bool negative) {
    unsigned base = directive.conversion == 'x' || directive.conversion == 'p' ? 16 : 10;
    char digits[32];
    int start = sizeof digits;
    do {
        digits[--start] = lower_digits[value % base];
        if (value < base) break;
        value /= base;
    } while (start > 0);
    int count = int(sizeof digits) - start;
    bool prefix = directive.conversion == 'p';
    long long zeros = directive.precision > count ? directive.precision - count : 0;
    long long total = (negative ? 1 : 0) + (prefix ? 2 : 0) + zeros + count;
    return w.write_run(' ', directive.width - total) && (!negative || w.write_byte('-')) &&
           (!prefix || (w.write_byte('0') && w.write_byte('x'))) && w.write_run('0', zeros) &&
           w.write(digits + start, size_t(count));
}

bool write_signed(Writer &w, const Directive &directive) {
    long long value = directive.wide ? va_arg(w.args, long long) : va_arg(w.args, int);
    bool negative = value < 0;
    unsigned long long magnitude = negative ? 0ull - (unsigned long long)value : value;
    return write_number(w, directive, magnitude, negative);
}

bool write_unsigned(Writer &w, const Directive &directive) {
    unsigned long long value;
    if (directive.wide)
        value = va_arg(w.args, unsigned long long);
    else if (directive.conversion == 'p')
        value = reinterpret_cast<uintptr_t>(va_arg(w.args, void *));
    else
        value = va_arg(w.args, unsigned);
    return write_number(w, directive, value, false);
}

// s: a null pointer is "(null)"; strnlen's low-pointer rule makes a pointer below 4096
// empty, and stops at the precision so a cut array need not be terminated.
bool write_string(Writer &w, const Directive &directive) {
    const char *s = va_arg(w.args, const char *);
    if (!s) s = "(null)";
    size_t length = directive.precision >= 0 ? strnlen(s, size_t(directive.precision)) : strlen(s);
    return w.write_run(' ', directive.width - (long long)length) && w.write(s, length);
}

bool write_conversion(Writer &w, const Directive &directive) {
    switch (directive.conversion) {
    case '%':
        return w.write_byte('%');
    case 'c':
        return w.write_byte(char(va_arg(w.args, int)));
    case 's':
        return write_string(w, directive);
    case 'd':
    case 'i':
        return write_signed(w, directive);
    case 'u':
    case 'x':
    case 'p':
        return write_unsigned(w, directive);
    default:
        return w.write_byte('%') && w.write_byte(directive.conversion);
    }
}

// On the console, a format starting with %c sends 0xFF and the low bytes of three int
// arguments in one write; the record is not counted.
bool is_console_record(const FILE *stream, const char *format) {
    return stream->kind == STREAM_KIND_FD && stream->fd == 1 && format[0] == '%' &&
           format[1] == 'c';
}

bool write_console_record(Writer &w) {
    char record[4] = {char(0xff), 0, 0, 0};
    for (int i = 1; i < 4; i++) record[i] = char(va_arg(w.args, int));
    return file_write_bytes(w.stream, record, sizeof record) == 0;
}

int format_all(Writer &w, const char *p) {
    if (is_console_record(w.stream, p)) {
        if (!write_console_record(w)) return -1;
        p += 2;
    }
    while (*p) {
        if (*p != '%') {
            if (!w.write_byte(*p++)) return -1;
            continue;
        }
        p++;
        Directive directive = read_directive(p, w);
        if (!directive.conversion) break;
        if (!write_conversion(w, directive)) return -1;
    }
    return int(w.count);
}

} // namespace

extern "C" int vfprintf(FILE *stream, const char *format, va_list ap) {
    if (!stream || !format) return -1;
    Writer w;
    w.stream = stream;
    w.count = 0;
    va_copy(w.args, ap);
    int result = format_all(w, format);
    va_end(w.args);
    return result;
}
