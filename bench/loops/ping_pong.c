/* ping_pong ROUNDS: a child started with spawn_ex echoes each byte the parent sends through
   one pipe back through another. Every round trip is two process switches: their cost. */
#include <stdlib.h>
#include <unistd.h>

static int echo(void) {
    char byte;
    while (read(0, &byte, 1) == 1) write(1, &byte, 1);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 2) return echo();
    int rounds = atoi(argv[1]);
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) return 1;
    char *child_argv[] = {"ping_pong.uelf"};
    int child = spawn_ex("ping_pong.uelf", child_argv, 1, to_child[0], from_child[1], -1, 0);
    if (child < 0) return 1;
    close(to_child[0]);
    close(from_child[1]);
    for (int i = 0; i < rounds; i++) {
        char byte = (char)i, back = 0;
        if (write(to_child[1], &byte, 1) != 1 || read(from_child[0], &back, 1) != 1 ||
            back != byte)
            return 2;
    }
    close(to_child[1]);
    int status = -1;
    return waitpid(child, &status, 0) == child && status == 0 ? 0 : 3;
}
