#include <stdlib.h>

// Programs get no environment from the system.
extern "C" char *getenv(const char *) {
    return nullptr;
}
