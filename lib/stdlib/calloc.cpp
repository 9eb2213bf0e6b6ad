#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "heap_impl.h"

extern "C" void *calloc(size_t count, size_t size) {
    if (count == 0 || size == 0) return vekos::take_block(0);
    uint64_t total = static_cast<uint64_t>(count) * size;
    if (total > 0xffffffffu) {
        errno = ENOMEM;
        return nullptr;
    }
    void *block = vekos::take_block(static_cast<size_t>(total));
    if (block) memset(block, 0, static_cast<size_t>(total));
    return block;
}
