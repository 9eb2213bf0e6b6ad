/* Start and exit: nothing but the program's own start-up. */
int main(void) {
    return 0;
}
