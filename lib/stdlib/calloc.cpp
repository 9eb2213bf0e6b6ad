#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "heap_impl.h"
#include "internal/checked_size.h"

extern "C" void *calloc(size_t count, size_t size) {
    if (count == 0 || size == 0) return vekos::take_block(0);
    size_t total;
    if (!vekos::multiply_fits(count, size, total)) {
        errno = ENOMEM;
        return nullptr;
    }
    void *block = vekos::take_block(total);
    if (block) memset(block, 0, total);
    return block;
}
