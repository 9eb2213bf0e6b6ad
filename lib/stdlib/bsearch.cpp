#include <stdlib.h>

// Halves [low, high) until the middle element compares equal; low + (high - low) / 2 can't
// wrap, and middle * size stays inside the array the caller gave.
extern "C" void *bsearch(const void *key, const void *base, size_t count, size_t size,
                         int (*compare)(const void *, const void *)) {
    const auto *bytes = static_cast<const unsigned char *>(base);
    size_t low = 0, high = count;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        const unsigned char *element = bytes + middle * size;
        int order = compare(key, element);
        if (order == 0) return const_cast<unsigned char *>(element);
        if (order < 0)
            high = middle;
        else
            low = middle + 1;
    }
    return nullptr;
}
