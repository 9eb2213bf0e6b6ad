/* The buffer formatter's pitfalls. Each "expect COLUMN: TEXT" names a warning on its line. */
#include <stdio.h>

#define ROW_FORMAT "%-8s|%5c\n" // expect 22: '%-8s' prints no spaces // expect 27: '%5c' is not padded

void buffer_pitfalls(char *buf, const char *name, int n, long long big, double d) {
    snprintf(buf, 64, "%-10s|", name); // expect 25: '%-10s' prints no spaces: snprintf never pads after a string
    snprintf(buf, 64, "%5c|", n);      // expect 25: snprintf ignores the width and precision of %c
    snprintf(buf, 64, "%.2f", d);      // expect 27: snprintf has no %f conversion: '%.2f' is printed as text ('%f')
    sprintf(buf, "%lld", big);         // expect 19: '%lld' takes one 32-bit word, but this is a 64-bit 'long long int'
    snprintf(buf, 64, "%hd % d", n, n); // expect 25: snprintf has no 'h' length modifier // expect 29: snprintf has no ' ' flag
    snprintf(buf, 64, ROW_FORMAT, name, n);
}

void buffer_correct(char *buf, const char *s, int n, unsigned u, unsigned long size) {
    snprintf(buf, 64, "%5d|%-5d|%05d|%+d|%08.4x|%X", n, n, n, n, u, u);
    snprintf(buf, 64, "%5s|%*s|%.*s|%c|%p|%%", s, n, s, n, s, n, (void *)s);
    sprintf(buf, "%zu %lu %lld", sizeof buf, size, n);
}
