// The heap's arena and the step every allocation shares. Private to the library.
#pragma once

#include <stddef.h>
#include <stdint.h>

// 1 MiB in bss: the image file never carries it.
constexpr uint32_t heap_size = 0x100000;

extern "C" {
extern unsigned char g_heap[heap_size];
extern uint32_t g_heap_used;
}

namespace vekos {

// Hands out the next block for a request of `size` bytes (0 counts as 1), or sets errno
// to 12 and returns null when it does not fit; a failure changes nothing else.
void *take_block(size_t size);

// The requested size that a block's header holds, in the word in front of the payload.
inline uint32_t block_size(const void *payload) {
    return static_cast<const uint32_t *>(payload)[-1];
}

} // namespace vekos
