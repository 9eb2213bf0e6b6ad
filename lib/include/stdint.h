/* The compiler's exact-width integer types. Programs are compiled as hosted, where the
   compiler's own stdint.h defers to the C library's: this is vekos's, and the compiler's
   types are all it needs. */
#include <stdint-gcc.h>
