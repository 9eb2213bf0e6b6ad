// Chunks, their free lists and the arenas they are cut from (see chunks.h).
#include "chunks.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace vekos::chunks {

namespace {

struct Chunk {
    uint32_t head; // size | flags
    Chunk *next;   // the links exist in free chunks only
    Chunk *previous;
};

// 256 KiB: 64 arenas fill the 64 MiB a vekos-emu process may map. A larger request gets an
// arena of its own, sized to fit.
constexpr uint32_t arena_bytes = 256 << 10;
constexpr uint32_t page_bytes = 4096;
// An arena's bytes around its chunks: the gap in front and the end marker.
constexpr uint32_t arena_overhead = 8;

// Far beyond any mapping, and small enough that an arena's length can't wrap.
constexpr uint32_t max_chunk = 0xFFFF0000u;

// Class k holds free chunks of 2^(k+4) to 2^(k+5) - 1 bytes; the last one, 2^31 and up.
constexpr int size_classes = 28;

Chunk *g_free_lists[size_classes];
uint32_t g_arenas; // mapped now

uint32_t size_of(const Chunk *c) {
    return c->head & ~flag_bits;
}

Chunk *chunk_of(const void *payload) {
    return reinterpret_cast<Chunk *>(reinterpret_cast<uintptr_t>(payload) - 4);
}

void *payload(Chunk *c) {
    return reinterpret_cast<char *>(c) + 4;
}

Chunk *next_chunk(Chunk *c) {
    return reinterpret_cast<Chunk *>(reinterpret_cast<char *>(c) + size_of(c));
}

uint32_t &closing_size(Chunk *c) {
    return reinterpret_cast<uint32_t *>(next_chunk(c))[-1];
}

// Only for a chunk whose previous_in_use flag is clear: the free chunk in front of it.
Chunk *previous_chunk(Chunk *c) {
    uint32_t size = reinterpret_cast<uint32_t *>(c)[-1];
    return reinterpret_cast<Chunk *>(reinterpret_cast<char *>(c) - size);
}

int size_class(uint32_t size) {
    return 27 - __builtin_clz(size);
}

void link(Chunk *c) {
    Chunk *&list = g_free_lists[size_class(size_of(c))];
    c->next = list;
    c->previous = nullptr;
    if (list) list->previous = c;
    list = c;
}

void unlink(Chunk *c) {
    if (c->previous)
        c->previous->next = c->next;
    else
        g_free_lists[size_class(size_of(c))] = c->next;
    if (c->next) c->next->previous = c->previous;
}

// Marks c free, joins it with free neighbours and lists the result; unmaps the arena when
// that leaves it wholly free and another arena remains.
void release(Chunk *c) {
    uint32_t size = size_of(c);
    uint32_t flags = c->head & (previous_in_use | arena_start);
    Chunk *after = next_chunk(c);
    if (!(after->head & in_use)) {
        unlink(after);
        size += size_of(after);
    }
    if (!(flags & previous_in_use)) {
        c = previous_chunk(c);
        unlink(c);
        size += size_of(c);
        flags = c->head & (previous_in_use | arena_start);
    }
    c->head = size | flags;
    closing_size(c) = size;
    after = next_chunk(c);
    after->head &= ~previous_in_use;
    if ((flags & arena_start) && size_of(after) == 0 && g_arenas > 1) {
        munmap(reinterpret_cast<char *>(c) - 4, size + arena_overhead);
        g_arenas--;
        return;
    }
    link(c);
}

// Cuts an in-use chunk down to `size` bytes when the rest makes a chunk, and frees the rest.
void trim(Chunk *c, uint32_t size) {
    uint32_t have = size_of(c);
    if (have - size < min_chunk) return;
    c->head -= have - size;
    Chunk *rest = next_chunk(c);
    rest->head = (have - size) | in_use | previous_in_use;
    release(rest);
}

void mark_in_use(Chunk *c) {
    c->head |= in_use;
    next_chunk(c)->head |= previous_in_use;
}

// The first listed chunk of at least `size` bytes: first fit in its own class, and any
// chunk of a larger class.
Chunk *find_free(uint32_t size) {
    for (int k = size_class(size); k < size_classes; k++) {
        for (Chunk *c = g_free_lists[k]; c; c = c->next) {
            if (size_of(c) >= size) return c;
        }
    }
    return nullptr;
}

// Maps an arena whose one free chunk holds at least `size` bytes, and lists that chunk.
Chunk *new_arena(uint32_t size) {
    if (size > max_chunk) return nullptr;
    uint32_t length = size + arena_overhead;
    length = length <= arena_bytes ? arena_bytes : (length + page_bytes - 1) & ~(page_bytes - 1);
    void *base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    g_arenas++;
    Chunk *first = reinterpret_cast<Chunk *>(static_cast<char *>(base) + 4);
    first->head = (length - arena_overhead) | previous_in_use | arena_start;
    closing_size(first) = size_of(first);
    next_chunk(first)->head = in_use; // the end marker
    link(first);
    return first;
}

} // namespace

uint32_t chunk_size_for(size_t n) {
    if (n > max_chunk - 16) return 0;
    uint32_t size = (uint32_t(n ? n : 1) + 4 + 7) & ~7u;
    return size < min_chunk ? min_chunk : size;
}

void *take(uint32_t size) {
    Chunk *c = find_free(size);
    if (!c) c = new_arena(size);
    if (!c) return nullptr;
    unlink(c);
    mark_in_use(c);
    trim(c, size);
    return payload(c);
}

void *take_aligned(uint32_t size, uint32_t alignment) {
    // Room for the aligned chunk, and for a free chunk in front of it when the payload is not
    // aligned already.
    uint32_t padded;
    if (__builtin_add_overflow(size, alignment + min_chunk, &padded)) return nullptr;
    void *p = take(padded);
    if (!p) return nullptr;
    uintptr_t address = reinterpret_cast<uintptr_t>(p);
    uintptr_t aligned = (address + alignment - 1) & ~uintptr_t(alignment - 1);
    if (aligned == address) {
        trim(chunk_of(p), size);
        return p;
    }
    if (aligned - address < min_chunk) aligned += alignment;
    Chunk *front = chunk_of(p);
    Chunk *c = chunk_of(reinterpret_cast<void *>(aligned));
    uint32_t gap = uint32_t(aligned - address);
    c->head = (size_of(front) - gap) | in_use;
    front->head -= size_of(front) - gap;
    release(front);
    trim(c, size);
    return payload(c);
}

void give_back(void *payload) {
    release(chunk_of(payload));
}

bool resize_in_place(void *payload, uint32_t size) {
    Chunk *c = chunk_of(payload);
    if (size <= size_of(c)) {
        trim(c, size);
        return true;
    }
    Chunk *after = next_chunk(c);
    if ((after->head & in_use) || size_of(c) + size_of(after) < size) return false;
    unlink(after);
    c->head += size_of(after);
    next_chunk(c)->head |= previous_in_use;
    trim(c, size);
    return true;
}

uint32_t usable_size(const void *payload) {
    return payload_of(size_of(chunk_of(payload)));
}

void check_in_use(const void *payload, const char *function) {
    uintptr_t address = reinterpret_cast<uintptr_t>(payload);
    if (address % 8 == 0 && (chunk_of(payload)->head & in_use) &&
        size_of(chunk_of(payload)) >= min_chunk)
        return;
    // One console write for the whole line.
    char line[96];
    strcpy(line, function);
    strcat(line, ": not a block in use (freed already, or never allocated)\n");
    fputs(line, stderr);
    abort();
}

} // namespace vekos::chunks
