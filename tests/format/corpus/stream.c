/* The stream formatter's pitfalls. Each "expect COLUMN: TEXT" names a warning on its line. */
#include <stdio.h>

void stream_pitfalls(const char *key, const char *value, int n, long long big, double d) {
    printf("%-10s %s\n", key, value); // expect 14: printf has no '-' flag: '%-10s' is printed as text
    printf("%05d\n", n);              // expect 14: '%05d' pads with spaces
    printf("%zu %X\n", sizeof key, n); // expect 14: printf has no 'z' length modifier // expect 18: printf has no %X conversion
    fprintf(stdout, "%x %X\n", n, n); // expect 26: fprintf has no %X conversion
    printf("%c is a letter\n", 65);   // expect 13: sends a console record
    fprintf(stderr, "%c", 'x');       // expect 22: sends a console record
    printf("%d\n", big);              // expect 13: but this is a 64-bit 'long long int': write '%lld'
    printf("%s\n", n);                // expect 13: '%s' takes a pointer to a string, but this is 'int'
    printf("%u\n", d);                // expect 13: there is no floating-point output
    printf("%d and %d\n", n);         // expect 20: '%d' has no argument
    printf("%.3d", n, n);             // expect 5: the call passes 2 argument words, but the format takes 1
}

void stream_correct(FILE *f, const char *s, int n, unsigned u, long long big) {
    printf("%5d|%.3d|%8.3x|%10p|%.8p\n", n, n, u, (void *)s, (void *)s);
    printf("%s%llu %lld %llx\n", s, (unsigned long long)big, big, (unsigned long long)big);
    fprintf(f, "%c%s\n", n, s); /* not the console: an ordinary %c */
    fprintf(stderr, "%c", 0x1b, 2, 3); /* a console record, meant as one */
    printf("x%c %*d %.*s %%\n", n, 5, n, 2, s);
    printf("%00d|%000u|%00x\n", n, u, u); /* a width of zeros pads nothing */
}
