/* Register-only arithmetic: 60 million rounds of a multiply-add. */
enum { rounds = 60000000 };

int main(void) {
    unsigned x = 12345u;
    for (unsigned i = 0; i < rounds; i++) x = x * 1664525u + i;
    return x == 0 ? 1 : 0; /* uses x, so the loop can't be dropped */
}
