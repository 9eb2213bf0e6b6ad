/* vsh: a small shell. Reads command lines from standard input and runs each as a pipeline:

       words.uelf < notes.txt | sum.uelf
       cat.uelf a.txt | hexdump.uelf | cat.uelf > dump.txt

   Words are split at spaces; `|` joins stages, `< file` and `> file` redirect the first
   stage's input and the last stage's output. Each stage is started with spawn_ex and waited
   for; a stage that can't start or ends with a status other than 0 gets a line on stderr.
   Blank lines and lines starting with `#` are skipped; vsh ends at the end of its input, so
   `vsh.uelf < script.txt` runs a script. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <vekos_meta.h>

VEKOS_COMMAND("Run command lines of pipelines from standard input.", "vsh < script");
VEKOS_PACKAGE("examples", "1");

enum { kMaxLine = 1024, kMaxWords = 32, kMaxStages = 8 };

struct stage {
    char *argv[kMaxWords + 1];
    int argc;
};

struct pipeline {
    struct stage stages[kMaxStages];
    int count;
    char *input, *output; /* redirections, or null */
};

static void complain(const char *name, const char *what) {
    fputs("vsh: ", stderr);
    fputs(name, stderr);
    fputs(what, stderr);
    fflush(stderr);
}

/* Splits the line in place; 0 when it holds no command, -1 when it is malformed. */
static int parse(char *line, struct pipeline *p) {
    memset(p, 0, sizeof *p);
    struct stage *stage = &p->stages[0];
    char **redirect = 0;
    for (char *word = strtok(line, " \t\r\n"); word; word = strtok(0, " \t\r\n")) {
        if (redirect) {
            *redirect = word;
            redirect = 0;
        } else if (strcmp(word, "<") == 0) {
            redirect = &p->input;
        } else if (strcmp(word, ">") == 0) {
            redirect = &p->output;
        } else if (strcmp(word, "|") == 0) {
            if (stage->argc == 0 || p->count + 1 == kMaxStages) return -1;
            stage = &p->stages[++p->count];
        } else if (word[0] == '#' && p->count == 0 && stage->argc == 0) {
            break;
        } else if (stage->argc < kMaxWords) {
            stage->argv[stage->argc++] = word;
        } else {
            return -1;
        }
    }
    if (stage->argc == 0) return p->count == 0 && !redirect ? 0 : -1;
    p->count++;
    return redirect ? -1 : 1;
}

static void close_extra(int fd) {
    if (fd > 2) close(fd);
}

/* Starts every stage, each reading the previous one's pipe, then waits for them all. */
static void run(struct pipeline *p) {
    int pids[kMaxStages];
    int in = p->input ? open(p->input, O_RDONLY) : -1;
    if (p->input && in < 0) {
        complain(p->input, ": cannot open\n");
        return;
    }
    for (int i = 0; i < p->count; i++) {
        struct stage *s = &p->stages[i];
        int fds[2] = {-1, -1};
        int out = -1;
        if (i + 1 < p->count && pipe(fds) == 0) out = fds[1];
        if (i + 1 == p->count && p->output) {
            out = open(p->output, O_WRONLY | O_CREAT | O_TRUNC);
            if (out < 0) complain(p->output, ": cannot create\n");
        }
        pids[i] = spawn_ex(s->argv[0], s->argv, s->argc, in, out, -1, 0);
        if (pids[i] < 0) complain(s->argv[0], ": cannot run\n");
        close_extra(in);
        close_extra(out);
        in = fds[0];
    }
    close_extra(in);
    for (int i = 0; i < p->count; i++) {
        int status = 0;
        if (pids[i] < 0 || waitpid(pids[i], &status, 0) < 0 || status == 0) continue;
        char text[48];
        snprintf(text, sizeof text, ": exit status %d\n", status);
        complain(p->stages[i].argv[0], text);
    }
}

int main(void) {
    static char line[kMaxLine];
    struct pipeline p;
    while (fgets(line, sizeof line, stdin)) {
        int parsed = parse(line, &p);
        if (parsed < 0)
            complain("", "malformed command line\n");
        else if (parsed > 0)
            run(&p);
    }
    return 0;
}
