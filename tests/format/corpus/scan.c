/* The scan engine's pitfalls. Each "expect COLUMN: TEXT" names a warning on its line. */
#include <stdio.h>

void scan_pitfalls(FILE *f, const char *text) {
    char name[32];
    int n = 0;
    float x;
    double y;
    long long big;
    while (fscanf(f, "%31s %d", name, &n) == 2) { // expect 28: fscanf scans one word per call
    }
    fscanf(f, "%s", name);                      // expect 16: '%s' has no width: fscanf stores words of up to 255 bytes, and 'name' holds 32; write '%31s'
    sscanf(text, "%d %f", &n, &x);              // expect 23: '%f' ends the scan: sscanf has no '%f' conversion
    sscanf(text, "%lf", &y);                    // expect 20: convert it with strtod
    sscanf(text, "%lld", &big);                 // expect 20: '%lld' ends the scan: sscanf reads no length modifiers
    sscanf(text, "%[a-z]", name);               // expect 20: sscanf has no scan sets
    sscanf(text, "%d", n);                      // expect 19: '%d' stores through a pointer, but this is 'int'
    sscanf(text, "%s", name);                   // expect 19: '%s' has no width: sscanf stores the whole word, however long, and 'name' holds 32
    sscanf(text, "%8x", &n);                    // expect 20: '%8x' takes every digit that follows, not at most 8
}

void scan_correct(FILE *f, const char *text) {
    char word[256], name[16];
    int n;
    unsigned u;
    char c;
    fscanf(f, "%d", &n);
    fscanf(f, "%s", word);
    fscanf(f, "%15s", name);
    sscanf(text, "%d %i %x %u %c %15s %*d %%", &n, &n, &u, &u, &c, name);
}
