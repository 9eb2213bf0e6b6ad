// The aligned forms of operator new, over the library's heap. A program linked with
// -lvekos_malloc gets that allocator's own (lib/malloc/new_delete.cpp) instead, which delete
// can give back.
#include <stdint.h>
#include <stdlib.h>

#include "new_impl.h"

namespace vekos {

// The heap never takes blocks back, so the room in front of the aligned address is simply
// left unused.
void *allocate_aligned(size_t size, std::align_val_t alignment) {
    size_t align = static_cast<size_t>(alignment);
    if (size > SIZE_MAX - align) return nullptr;
    auto block = reinterpret_cast<uintptr_t>(malloc(size + align));
    if (!block) return nullptr;
    return reinterpret_cast<void *>((block + align - 1) & ~(uintptr_t{align} - 1));
}

} // namespace vekos

void *operator new(size_t size, std::align_val_t alignment) {
    void *block = vekos::allocate_aligned(size, alignment);
    if (!block) vekos::new_failed(size);
    return block;
}

void *operator new[](size_t size, std::align_val_t alignment) {
    return operator new(size, alignment);
}

void *operator new(size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept {
    return vekos::allocate_aligned(size, alignment);
}

void *operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept {
    return vekos::allocate_aligned(size, alignment);
}
