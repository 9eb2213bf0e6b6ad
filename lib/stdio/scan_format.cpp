// The scan engine: matches a format against a string and stores what it converts. Only
// d i u x X c s and %%, with * to suppress; any other conversion ends the scan. A width
// bounds the word of %s and is ignored elsewhere. The result counts assignments; it is
// never -1.
#include <stdio.h>

#include "internal/digits.h"
#include "scan_impl.h"

using namespace vekos;

namespace {

// %s: blanks, then the word up to white space or NUL, at most width bytes of it when a
// width is given; the rest of the word stays in the input. null: consume, store nothing.
bool scan_word(const char *&in, unsigned width, char *destination) {
    while (is_space_or_tab(*in)) in++;
    if (*in == '\0') return false;
    unsigned length = 0;
    while (!is_word_end(in[length]) && (width == 0 || length < width)) length++;
    if (destination) {
        for (unsigned i = 0; i < length; i++) destination[i] = in[i];
        destination[length] = '\0';
    }
    in += length;
    return true;
}

} // namespace

extern "C" {

int vsscanf(const char *str, const char *format, va_list ap) {
    if (!str || !format) return 0;
    va_list args;
    va_copy(args, ap);
    const char *in = str;
    const char *f = format;
    int count = 0;
    while (*f) {
        if (is_space_tab_or_line_feed(*f)) {
            while (is_space_tab_or_line_feed(*in)) in++;
            while (is_space_tab_or_line_feed(*f)) f++;
            continue;
        }
        if (*f != '%') {
            if (*in != *f) break;
            in++;
            f++;
            continue;
        }
        f++;
        bool suppress = *f == '*';
        if (suppress) f++;
        // Saturates instead of wrapping, so a huge width stays huge.
        unsigned width = read_decimal_capped(f, 0xffffffffu);
        char conversion = *f;
        if (conversion == '%') {
            if (*in != '%') break;
            in++;
        } else if (conversion == 'c') {
            if (*in == '\0') break;
            if (!suppress) {
                *va_arg(args, char *) = *in;
                count++;
            }
            in++;
        } else if (conversion == 's') {
            char *destination = suppress ? nullptr : va_arg(args, char *);
            if (!scan_word(in, width, destination)) break;
            if (destination) count++;
        } else if (conversion == 'd' || conversion == 'i' || conversion == 'u' ||
                   conversion == 'x' || conversion == 'X') {
            unsigned value;
            if (!scan_integer(in, conversion, value)) break;
            if (!suppress) {
                *va_arg(args, unsigned *) = value;
                count++;
            }
        } else {
            break;
        }
        f++;
    }
    va_end(args);
    return count;
}

} // extern "C"
