// malloc, free, calloc and realloc of libvekos_malloc.a, which a program links instead of the
// library's bump heap (vekos-cc -lvekos_malloc). Each failure sets errno to ENOMEM and
// returns null, leaving every block as it was.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "chunks.h"
#include "internal/checked_size.h"

using namespace vekos::chunks;

namespace {

void *out_of_memory() {
    errno = ENOMEM;
    return nullptr;
}

} // namespace

extern "C" {

void *malloc(size_t n) {
    uint32_t size = chunk_size_for(n);
    void *p = size ? take(size) : nullptr;
    return p ? p : out_of_memory();
}

void free(void *p) {
    if (!p) return;
    check_in_use(p, "free");
    give_back(p);
}

void *calloc(size_t count, size_t size) {
    size_t total;
    if (!vekos::multiply_fits(count, size, total)) return out_of_memory();
    void *p = malloc(total);
    if (p) memset(p, 0, total);
    return p;
}

// In place when the block shrinks or the chunk after it is free and large enough; else a
// new block takes the old one's bytes and the old one is freed. A size of 0 keeps a block
// of the smallest size.
void *realloc(void *p, size_t n) {
    if (!p) return malloc(n);
    check_in_use(p, "realloc");
    uint32_t size = chunk_size_for(n);
    if (!size) return out_of_memory();
    if (resize_in_place(p, size)) return p;
    void *moved = take(size);
    if (!moved) return out_of_memory();
    memcpy(moved, p, usable_size(p));
    give_back(p);
    return moved;
}

} // extern "C"
