// Heapsort: O(n log n) in every case, no recursion and no allocation, which suits a 1 MiB
// heap that never gives memory back.
#include <stdlib.h>

#include "internal/checked_size.h"

namespace {

using Compare = int (*)(const void *, const void *);

void swap_bytes(unsigned char *a, unsigned char *b, size_t size) {
    for (size_t i = 0; i < size; i++) {
        unsigned char kept = a[i];
        a[i] = b[i];
        b[i] = kept;
    }
}

// Moves the element at root down the heap of the first count elements until no child is
// greater. Only roots below count / 2 have a child, so 2 * root + 1 can't wrap.
void sift_down(unsigned char *base, size_t root, size_t count, size_t size, Compare compare) {
    while (root < count / 2) {
        size_t child = 2 * root + 1;
        if (child + 1 < count && compare(base + child * size, base + (child + 1) * size) < 0)
            child++;
        if (compare(base + root * size, base + child * size) >= 0) return;
        swap_bytes(base + root * size, base + child * size, size);
        root = child;
    }
}

} // namespace

extern "C" void qsort(void *base, size_t count, size_t size, Compare compare) {
    size_t total;
    if (count < 2 || size == 0 || !vekos::multiply_fits(count, size, total)) return;
    auto *bytes = static_cast<unsigned char *>(base);
    for (size_t root = count / 2; root-- > 0;) sift_down(bytes, root, count, size, compare);
    for (size_t end = count - 1; end > 0; end--) {
        swap_bytes(bytes, bytes + end * size, size);
        sift_down(bytes, 0, end, size, compare);
    }
}
