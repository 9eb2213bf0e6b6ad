/* The image of the allocator's tests: linked with -lvekos_malloc, it keeps the allocator's
   functions that the tests call by name (main reads the table, which is volatile, so neither
   the compiler nor the linker drops them). */
#include <stdlib.h>

void *volatile kept_functions[] = {(void *)malloc, (void *)calloc, (void *)realloc, (void *)free};

int main(void) {
    return kept_functions[0] == 0;
}
