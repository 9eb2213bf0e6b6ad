// The classic linear congruential generator (multiplier 1103515245, increment 12345),
// giving bits 16 to 30 of each new state. Without srand it seeds itself once from the
// time-stamp counter and two addresses, mixed with the lowbias32 hash.
#include <stdlib.h>

#include "heap_impl.h"

namespace {

uint32_t lowbias32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

uint32_t self_seed(uint32_t stack_address) {
    uint32_t lo, hi;
    asm volatile("rdtsc" : "=a"(lo), "=d"(hi));
    uint32_t x = stack_address ^ reinterpret_cast<uintptr_t>(&g_heap_used) ^ (hi * 1664525u) ^ lo;
    x = lowbias32(x ^ 0x9e3779b9u);
    return x ? x : 1;
}

} // namespace

extern "C" {

uint32_t g_rand_state = 1;
uint32_t g_rand_seeded = 0;

void srand(unsigned seed) {
    g_rand_seeded = 1;
    g_rand_state = seed ? seed : 1;
}

int rand(void) {
    if (!g_rand_seeded) {
        volatile uint32_t local = 0;
        g_rand_state = self_seed(reinterpret_cast<uintptr_t>(&local));
        g_rand_seeded = 1;
    }
    g_rand_state = g_rand_state * 1103515245u + 12345u;
    return static_cast<int>((g_rand_state >> 16) & 0x7fff);
}

} // extern "C"
