// Leaving the process: no handler runs and no stream is closed, so a write stream that
// was never closed leaves no file behind.
#include <stdlib.h>
#include <unistd.h>

extern "C" {

void exit(int status) {
    _exit(status);
}

void abort(void) {
    _exit(1);
}

// Nothing is ever called at exit, so nothing is stored; the caller is told it worked.
int atexit(void (*)(void)) {
    return 0;
}

} // extern "C"
