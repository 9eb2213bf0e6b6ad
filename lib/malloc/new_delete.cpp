// C++'s allocation functions over libvekos_malloc.a: delete gives blocks back, and the
// aligned forms of new take chunks at their alignment, so that delete can free them too.
// The plain forms of new are the library's (lib/new/new.cpp), which call malloc.
#include <errno.h>
#include <stdlib.h>

#include "chunks.h"
#include "new/new_impl.h"

namespace {

void *allocate_aligned(size_t size, std::align_val_t alignment) {
    size_t align = static_cast<size_t>(alignment);
    if (align <= 8) return malloc(size); // every payload is 8-byte aligned
    uint32_t chunk = vekos::chunks::chunk_size_for(size);
    void *p = chunk ? vekos::chunks::take_aligned(chunk, align) : nullptr;
    if (!p) errno = ENOMEM;
    return p;
}

} // namespace

void *operator new(size_t size, std::align_val_t alignment) {
    void *block = allocate_aligned(size, alignment);
    if (!block) vekos::new_failed(size);
    return block;
}

void *operator new[](size_t size, std::align_val_t alignment) {
    return operator new(size, alignment);
}

void *operator new(size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept {
    return allocate_aligned(size, alignment);
}

void *operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept {
    return allocate_aligned(size, alignment);
}

void operator delete(void *p) noexcept {
    free(p);
}
void operator delete[](void *p) noexcept {
    free(p);
}
void operator delete(void *p, size_t) noexcept {
    free(p);
}
void operator delete[](void *p, size_t) noexcept {
    free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
    free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept {
    free(p);
}
void operator delete(void *p, std::align_val_t) noexcept {
    free(p);
}
void operator delete[](void *p, std::align_val_t) noexcept {
    free(p);
}
void operator delete(void *p, size_t, std::align_val_t) noexcept {
    free(p);
}
void operator delete[](void *p, size_t, std::align_val_t) noexcept {
    free(p);
}
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept {
    free(p);
}
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept {
    free(p);
}
