// The allocator of libvekos_malloc.a: memory from mmap in arenas, cut into chunks with
// boundary tags, free chunks kept in one list per power-of-two size class and joined with
// free neighbours at once. Private to libvekos_malloc.a.
//
// An arena is one mapping: a 4-byte gap, its chunks, and a 4-byte end marker (a chunk
// header of size 0 marked in use). A chunk is a 4-byte header (its size, a multiple of 8,
// and the flags below), then its payload, 8-byte aligned. A free chunk also holds the
// links of its list after the header and its size again in its last word, where the chunk
// after it finds the start of a free neighbour.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace vekos::chunks {

constexpr uint32_t in_use = 1;          // the chunk is handed out
constexpr uint32_t previous_in_use = 2; // the chunk before it is handed out, or there is none
constexpr uint32_t arena_start = 4;     // the first chunk of its arena
constexpr uint32_t flag_bits = 7;

// Header, two links and the closing size; a payload of up to 12 bytes fits.
constexpr uint32_t min_chunk = 16;

// Payload bytes of an in-use chunk of this size: all but its header.
constexpr uint32_t payload_of(uint32_t chunk_size) {
    return chunk_size - 4;
}

// The chunk size for a request of n bytes (0 counts as 1), or 0 when no mapping could hold
// it.
uint32_t chunk_size_for(size_t n);

// The payload of an in-use chunk of at least `size` bytes (chunk_size_for), from the free
// lists or a new arena; null when no arena can be mapped.
void *take(uint32_t size);

// Like take, with the payload at a multiple of `alignment` (a power of two above 8).
void *take_aligned(uint32_t size, uint32_t alignment);

// Gives the chunk of an in-use payload back, joining free neighbours; an arena left wholly
// free is unmapped unless it is the only one.
void give_back(void *payload);

// Resizes an in-use chunk where it lies, to at least `size` bytes: shrinking gives the tail
// back, growing takes the free chunk after it. False when the chunk after it is not free or
// too small; the chunk is then as it was.
bool resize_in_place(void *payload, uint32_t size);

// The payload bytes of an in-use chunk.
uint32_t usable_size(const void *payload);

// Ends the program when `payload` is not the payload of an in-use chunk as far as its
// header shows: a block freed twice, or never allocated.
void check_in_use(const void *payload, const char *function);

} // namespace vekos::chunks
