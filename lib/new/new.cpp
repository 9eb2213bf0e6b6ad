// operator new over the library's heap, and what every form of new shares. Blocks are
// 4-byte aligned; vekos-cc tells the compiler so (-faligned-new=4), and types that need more
// come through the aligned forms (new_aligned.cpp).
#include <stdio.h>
#include <stdlib.h>

#include "new_impl.h"

const std::nothrow_t std::nothrow{};

namespace vekos {

void *allocate(size_t size) {
    return malloc(size);
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
