// The largest length the kernel takes in one call. Private to the library.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace vekos {

constexpr uint32_t max_kernel_length = 0x7fffffffu;

[[gnu::always_inline]] inline uint32_t clamp_length(size_t n) {
    return n > max_kernel_length ? max_kernel_length : n;
}

} // namespace vekos
