// Sizes computed from counts: a product that doesn't fit in 32 bits is refused, never
// wrapped. Private to the library.
#pragma once

#include <stddef.h>

namespace vekos {

// count * size into product; false, and product unusable, when it exceeds 32 bits.
[[gnu::always_inline]] inline bool multiply_fits(size_t count, size_t size, size_t &product) {
    return !__builtin_mul_overflow(count, size, &product);
}

} // namespace vekos
