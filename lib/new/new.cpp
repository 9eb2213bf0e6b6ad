// operator new in all its forms, over the library's heap. Blocks are 4-byte aligned;
// vekos-cc tells the compiler so (-faligned-new=4), and types that need more come through
// the aligned forms.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "new_impl.h"

const std::nothrow_t std::nothrow{};

namespace vekos {

void *allocate(size_t size) {
    return malloc(size);
}

// The heap never takes blocks back, so the room in front of the aligned address is simply
// left unused.
void *allocate_aligned(size_t size, std::align_val_t alignment) {
    size_t align = static_cast<size_t>(alignment);
    if (size > SIZE_MAX - align) return nullptr;
    auto block = reinterpret_cast<uintptr_t>(malloc(size + align));
    if (!block) return nullptr;
    return reinterpret_cast<void *>((block + align - 1) & ~(uintptr_t{align} - 1));
}

void new_failed(size_t size) {
    char message[80];
    snprintf(message, sizeof message, "operator new: out of memory for %u bytes\n",
             static_cast<unsigned>(size));
    fputs(message, stderr);
    abort();
}

} // namespace vekos

void *operator new(size_t size) {
    void *block = vekos::allocate(size);
    if (!block) vekos::new_failed(size);
    return block;
}

void *operator new[](size_t size) {
    return operator new(size);
}

void *operator new(size_t size, const std::nothrow_t &) noexcept {
    return vekos::allocate(size);
}

void *operator new[](size_t size, const std::nothrow_t &) noexcept {
    return vekos::allocate(size);
}

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
