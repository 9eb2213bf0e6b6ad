/* stdio: streams. Nothing is buffered: console output reaches the kernel within the call.
   stderr writes to descriptor 1, like stdout; no stream writes to descriptor 2. */
#ifndef VEKOS_STDIO_H
#define VEKOS_STDIO_H

#include <stdarg.h>
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

size_t fwrite(const void *ptr, size_t size, size_t count, FILE *stream);
int fputc(int c, FILE *stream);
int putchar(int c);
int fputs(const char *s, FILE *stream);
int puts(const char *s);
int fflush(FILE *stream);
void setbuf(FILE *stream, char *buffer);

/* File streams and memory streams. */
/* Mode "r..." reads a file through a descriptor; "w..." collects everything written in
   memory, and fclose stores it as the whole file. The path "-" (or null) names the
   current stdin or stdout. Only descriptor streams can be read or positioned. */
FILE *fopen(const char *path, const char *mode);
int fclose(FILE *stream);
size_t fread(void *ptr, size_t size, size_t count, FILE *stream);
int fgetc(FILE *stream);
int getchar(void);
int fseek(FILE *stream, long offset, int whence);
long ftell(FILE *stream);
void rewind(FILE *stream);
int feof(FILE *stream);
int ferror(FILE *stream);
/* *out and *size follow the buffer's address and length after every write; the buffer
   is the caller's and fclose leaves it. */
FILE *open_memstream(char **out, size_t *size);

/* Formatted output into buffers. */
/* Store at most size - 1 characters and a NUL; return the length of the complete output.
   Each value is one 32-bit word (ll too); flags - 0 +, conversions d i u x X c s p %. */
int vsnprintf(char *buf, size_t size, const char *format, va_list ap);
int snprintf(char *buf, size_t size, const char *format, ...);
/* Bounded at 65536: at most 65535 characters and a NUL are stored. */
int vsprintf(char *buf, const char *format, va_list ap);
int sprintf(char *buf, const char *format, ...);

/* Formatted output to streams. */
/* Each piece goes to the stream as soon as it is known; -1 at the first failed write.
   No flags and no X; ll prints 64-bit d i u x p. On descriptor 1 a format that starts
   with %c sends a console record: 0xFF and the low bytes of three int arguments. */
int vfprintf(FILE *stream, const char *format, va_list ap);
int fprintf(FILE *stream, const char *format, ...);
int printf(const char *format, ...);

/* Formatted input. */
/* Conversions d i u x X c s and %%, * to suppress; any other conversion ends the scan.
   A width bounds %s to that many bytes and is ignored elsewhere. Each returns the count
   of assignments, 0 when nothing matched. */
int vsscanf(const char *str, const char *format, va_list ap);
int sscanf(const char *str, const char *format, ...);
/* Reads one word (at most 255 bytes are kept) from a descriptor stream, then scans only
   that word; -1 for a bad stream or format, or when the input ends before a word. */
int fscanf(FILE *stream, const char *format, ...);

/* Additions for ported programs. */
/* fseek's whence values: those lseek takes, as unistd.h defines them. */
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2
/* Reads a byte at a time, up to and including a line feed, storing at most size - 1 bytes
   and a NUL. Null, storing nothing, for a size below 1, or when no byte could be read (the
   input ended, or the stream is not a descriptor stream); a size of 1 stores only the NUL. */
char *fgets(char *s, int size, FILE *stream);
/* Writes "prefix: " (nothing for a null or empty prefix), strerror's text for errno and a
   line feed to stderr, piece by piece; errno stays as it was. */
void perror(const char *prefix);

VEKOS_END_DECLS

#endif
