// A bump allocator over one static arena. Each block is a 4-byte header holding the
// requested size, then the payload, rounded up to a multiple of 8; blocks start at
// multiples of 8, so payloads sit 4 bytes past one. Nothing is ever given back.
#include <errno.h>

#include "heap_impl.h"

extern "C" {
alignas(8) unsigned char g_heap[heap_size];
uint32_t g_heap_used = 0;
}

namespace vekos {

void *take_block(size_t size) {
    uint32_t n = size ? size : 1;
    // n is bounded first so that n + 11 can't wrap; no block this large could fit anyway.
    uint32_t need = n <= heap_size - 4 ? (n + 11) & ~7u : 0;
    if (need == 0 || need > heap_size - g_heap_used) {
        errno = ENOMEM;
        return nullptr;
    }
    uint32_t *header = reinterpret_cast<uint32_t *>(g_heap + g_heap_used);
    *header = n;
    g_heap_used += need;
    return header + 1;
}

} // namespace vekos
