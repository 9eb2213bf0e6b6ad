/* Runs until the file /go appears, then ends with status 7. */
#include <unistd.h>

int main(void) {
    while (access("/go", 0) != 0) {
    }
    return 7;
}
