// What the compiler places in the virtual table slots of pure and deleted functions: a call
// through one means an object was used while (or after) being built or destroyed.
#include <stdio.h>
#include <stdlib.h>

extern "C" {

void __cxa_pure_virtual() {
    fputs("pure virtual function called\n", stderr);
    abort();
}

void __cxa_deleted_virtual() {
    fputs("deleted virtual function called\n", stderr);
    abort();
}

} // extern "C"
