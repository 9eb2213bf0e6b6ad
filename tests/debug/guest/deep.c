// A recursion 1000 calls deep, past the depth at which profiles' stacks stop.
static volatile int depth = 1000;

__attribute__((noinline)) static int down(int left) {
    return left == 0 ? 0 : 1 + down(left - 1);
}

int main(void) {
    return down(depth) == depth ? 0 : 1;
}
