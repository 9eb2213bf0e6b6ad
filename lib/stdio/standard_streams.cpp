// The three standard streams: static records, reached through writable pointers that
// every operation reads at the time of the call. stderr shares descriptor 1 with stdout.
#include <stdio.h>

extern "C" {

FILE g_stdin = {STREAM_KIND_FD, 0, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};
FILE g_stdout = {STREAM_KIND_FD, 1, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};
FILE g_stderr = {STREAM_KIND_FD, 1, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};

FILE *stdin = &g_stdin;
FILE *stdout = &g_stdout;
FILE *stderr = &g_stderr;

} // extern "C"
