/* About 10^8 instructions of arithmetic, then a call to done(): where bench/reverse_step
   stops gdb to step back. */
enum { rounds = 10000000 };

volatile unsigned sink;

__attribute__((noinline)) void done(unsigned sum) {
    sink = sum;
}

int main(void) {
    unsigned x = 2463534242u, sum = 0;
    for (unsigned i = 0; i < rounds; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        sum += x ^ i;
    }
    done(sum);
    return 0;
}
