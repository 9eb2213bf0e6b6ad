/* faulty.c, built once per set of flags. */
#include "faulty.c"
