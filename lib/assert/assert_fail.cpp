// The end of a failed assert: one line on stderr, then the process ends as abort ends it.
#include <assert.h>
#include <stdio.h>
#include <stdlib.h>

extern "C" void __vekos_assert_fail(const char *expression, const char *file, int line,
                                    const char *function) {
    // One console write for the whole line; a longer line is cut, never overrun.
    char message[256];
    snprintf(message, sizeof message, "%s:%d: %s: assertion '%s' failed\n", file, line, function,
             expression);
    fputs(message, stderr);
    abort();
}
