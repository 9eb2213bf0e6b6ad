/* Values for gdb to watch: a counter written twice and read once between, and a result
   written then read. */
volatile int counter = 1;
volatile int seen;

int main(void) {
    counter = 2;
    seen = counter + 40;
    counter = 5;
    return seen;
}
