/* stdio: streams. Nothing is buffered: console output reaches the kernel within the call.
   stderr writes to descriptor 1, like stdout; no stream writes to descriptor 2. */
#ifndef VEKOS_STDIO_H
#define VEKOS_STDIO_H

#include <stddef.h>
#include <vekos_cdefs.h>

#define STREAM_KIND_FD 1        /* reads a descriptor; writable only on descriptor 1 */
#define STREAM_KIND_MEMORY 2    /* collects writes in a buffer the caller receives */
#define STREAM_KIND_WRITEFILE 3 /* collects writes; fclose stores them as the file */

#define EOF (-1)

typedef struct vekos_file {
    unsigned kind;
    int fd;
    char *path;
    char *buf;
    unsigned len;
    unsigned cap;
    char **out_buf;
    unsigned *out_size;
    int error;
    int pos;
    int eof;
} FILE;

VEKOS_BEGIN_DECLS

extern FILE *stdin;
extern FILE *stdout;
extern FILE *stderr;

/* The one routine every written byte passes through: 0 when all were written, else -1. */
int file_write_bytes(FILE *stream, const void *data, size_t length);

size_t fwrite(const void *ptr, size_t size, size_t count, FILE *stream);
int fputc(int c, FILE *stream);
int putchar(int c);
int fputs(const char *s, FILE *stream);
int puts(const char *s);
int fflush(FILE *stream);
void setbuf(FILE *stream, char *buffer);

/* File streams and memory streams. */

/* Formatted output into buffers. */

/* Formatted output to streams. */

/* Formatted input. */

VEKOS_END_DECLS

#endif
