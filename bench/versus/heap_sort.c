/* Heap sort of 256 K pseudo-random ints, twice (the second time from a fresh fill). */
enum { count = 256 * 1024, rounds = 2 };

int numbers[count];

static void sift_down(int *a, unsigned root, unsigned end) {
    int value = a[root];
    for (unsigned child; (child = 2 * root + 1) < end; root = child) {
        if (child + 1 < end && a[child] < a[child + 1]) child++;
        if (a[child] <= value) break;
        a[root] = a[child];
    }
    a[root] = value;
}

static void heap_sort(int *a, unsigned n) {
    for (unsigned i = n / 2; i-- > 0;) sift_down(a, i, n);
    for (unsigned end = n - 1; end > 0; end--) {
        int top = a[0];
        a[0] = a[end];
        a[end] = top;
        sift_down(a, 0, end);
    }
}

int main(void) {
    unsigned seed = 1;
    for (unsigned round = 0; round < rounds; round++) {
        for (unsigned i = 0; i < count; i++) {
            seed = seed * 1103515245u + 12345u;
            numbers[i] = (int)(seed >> 1);
        }
        heap_sort(numbers, count);
        for (unsigned i = 1; i < count; i++)
            if (numbers[i - 1] > numbers[i]) return 1;
    }
    return 0;
}
