#include <stdlib.h>

// Memory is never taken back: every block stays where it is for the life of the process.
extern "C" void free(void *) {}
