/* Something a replay can't undo, as argv[1] says, then a loop that sets guard from 40 to 7:
   "map" maps memory, "run" makes a run request, "child" spawns beyond.uelf (found in the
   root) as a "reader" that reads a pipe this program holds open, to its end. */
#include <string.h>
#include <unistd.h>

volatile int guard = 40;

__attribute__((noinline)) static void done(void) {
    __asm__ volatile("" ::: "memory");
}

static int run_request(const char *line) {
    int result;
    __asm__ volatile("int $0x80" : "=a"(result) : "a"(96), "b"(line) : "memory");
    return result;
}

int main(int argc, char **argv) {
    const char *what = argc > 1 ? argv[1] : "";
    char byte;
    int fds[2] = {-1, -1};
    if (strcmp(what, "reader") == 0) {
        while (read(0, &byte, 1) > 0) {
        }
        return 0;
    }
    if (strcmp(what, "map") == 0)
        mmap(0, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (strcmp(what, "run") == 0) run_request("nothing.uelf");
    if (strcmp(what, "child") == 0) {
        char *child[] = {(char *)"beyond.uelf", (char *)"reader"};
        pipe(fds);
        fd_set_stdio(fds[0], -1, -1);
        spawn("beyond.uelf", child, 2);
        close(fds[0]);
    }
    for (int i = 0; i < 4; i++)
        if (i == 2) guard = 7;
    done();
    close(fds[1]);
    waitpid(-1, 0, 0);
    return 0;
}
