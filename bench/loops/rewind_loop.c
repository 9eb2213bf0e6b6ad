/* About 10^8 instructions of arithmetic (ARG rounds of ten, 10^7 by default), then a call to
   done(): where bench/reverse_step stops gdb to step back. */
volatile unsigned sink;

__attribute__((noinline)) void done(unsigned sum) {
    sink = sum;
}

int main(int argc, char **argv) {
    unsigned rounds = 0;
    for (const char *digit = argc > 1 ? argv[1] : "10000000"; *digit; digit++)
        rounds = rounds * 10 + (unsigned)(*digit - '0');
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
