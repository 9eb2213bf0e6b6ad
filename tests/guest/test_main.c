/* The test image's program: it does nothing itself; tests call library functions by name. */
int main(void) { return 0; }
