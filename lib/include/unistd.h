/* unistd: thin wrappers over the vekos kernel's traps (int 0x80). Each returns the
   kernel's result unchanged (non-negative, or -1 on failure) unless noted; none sets errno.
   Buffer lengths above 0x7fffffff are clamped to 0x7fffffff before they reach the kernel;
   mmap and munmap pass theirs unchanged. */
#ifndef VEKOS_UNISTD_H
#define VEKOS_UNISTD_H

#include "abi/trap_flags.h"
#include <stddef.h>
#include <vekos_cdefs.h>
#include <vekos_types.h>

#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2

#define STDIN_FILENO 0
#define STDOUT_FILENO 1
#define STDERR_FILENO 2

#define PROT_NONE VEKOS_PROT_NONE
#define PROT_READ VEKOS_PROT_READ
#define PROT_WRITE VEKOS_PROT_WRITE
#define PROT_EXEC VEKOS_PROT_EXEC
#define MAP_SHARED VEKOS_MAP_SHARED
#define MAP_PRIVATE VEKOS_MAP_PRIVATE
#define MAP_FIXED VEKOS_MAP_FIXED
#define MAP_ANONYMOUS VEKOS_MAP_ANONYMOUS
#define MAP_FAILED ((void *)-1)

#define WNOHANG VEKOS_WNOHANG

VEKOS_BEGIN_DECLS

/* Descriptors and files. */
ssize_t read(int fd, void *buf, size_t n);
ssize_t write(int fd, const void *buf, size_t n);
int close(int fd);
int dup(int fd);
int dup2(int old_fd, int new_fd);
off_t lseek(int fd, off_t offset, int whence);
int pipe(int fds[2]);
int access(const char *path, int mode); /* mode is ignored: existence only */

/* Stores the n bytes as the whole new content of the file at path. */
int writefile(const char *path, const void *buf, size_t n);

/* Folders. */
int mkdir(const char *path, mode_t mode); /* mode is ignored */
int rmdir(const char *path);
int unlink(const char *path);
int chdir(const char *path);
int mkfifo(const char *path, mode_t mode); /* mode is ignored */
/* Copies the current folder into buf; returns the kernel's integer result. */
int getcwd(char *buf, size_t size);

/* Processes and time. */
VEKOS_NORETURN void _exit(int status);
int spawn(const char *path, char *const argv[], int argc);
int spawn_ex(const char *path, char *const argv[], int argc, int a, int b, int c, int flag);
/* options WNOHANG: 0 at once while the child runs. */
pid_t waitpid(pid_t pid, int *status, int options);
int usleep(unsigned int microseconds);    /* always 0 */
unsigned int sleep(unsigned int seconds); /* always 0 */

/* Console, descriptors shared with children, streaming file writes, memory. */
int getkey(void);
int fd_set_inherit(int on);
int fd_set_stdio(int in_fd, int out_fd, int err_fd);
int fd_set_nonblock(int fd, int on);
int vekfs_stream_begin(const char *path);
int vekfs_stream_write(int handle, const void *buf, size_t n);
int vekfs_stream_end(int handle);
void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
int munmap(void *addr, size_t length);

VEKOS_END_DECLS

#endif
