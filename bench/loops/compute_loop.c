/* Compute loop: register-only integer arithmetic, no memory traffic. */
enum { iterations = 50000000 };

int main(void) {
    unsigned x = 2463534242u, sum = 0;
    for (unsigned i = 0; i < iterations; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        sum += x ^ i;
    }
    return sum == 0 ? 1 : 0; /* uses the sum, so the loop can't be dropped */
}
