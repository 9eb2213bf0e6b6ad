// Unicorn sizes its table of translated blocks for 32768 of them: 512 KiB, all touched at
// start-up, 128 page faults (~0.17 ms) for programs that translate a few hundred. Linked with
// --wrap=qht_init, so it starts small; the table still grows as blocks are added.
#include <cstddef>

struct qht;
using qht_cmp_func_t = bool (*)(const void *, const void *);

extern "C" {
void __real_qht_init(qht *ht, qht_cmp_func_t cmp, size_t n_elems, unsigned mode);

void __wrap_qht_init(qht *ht, qht_cmp_func_t cmp, size_t n_elems, unsigned mode) {
    constexpr size_t kStartElements = 1024;
    __real_qht_init(ht, cmp, n_elems < kStartElements ? n_elems : kStartElements, mode);
}
}
