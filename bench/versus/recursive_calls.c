/* Recursive calls: fib(29), about 1.7 million calls. */
unsigned fib(unsigned n) {
    return n < 2 ? n : fib(n - 1) + fib(n - 2);
}

unsigned volatile argument = 29;

int main(void) {
    return fib(argument) == 514229 ? 0 : 1;
}
