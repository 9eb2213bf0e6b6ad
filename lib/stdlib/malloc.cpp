#include <stdlib.h>

#include "heap_impl.h"

extern "C" void *malloc(size_t size) {
    return vekos::take_block(size);
}
