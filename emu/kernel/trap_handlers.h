// The trap handlers, by family; the table in trap_dispatch.cpp names them. Each returns the
// trap's result or the host error that made it fail; the dispatcher turns a failure into -1
// for the guest and a reason for --trace.
#pragma once

#include "common/retry.h"
#include "fs/pipe.h"
#include "fs/root_fs.h"
#include "kernel/trap_table.h"
#include "machine/guest_memory.h"

#include <cerrno>
#include <optional>
#include <string>

namespace vekos {

// A failure for a reason the handler found itself.
inline HostError fail(int error) {
    return HostError{error};
}
// A guest pointer the kernel can't follow.
inline HostError bad_address() {
    return HostError{EFAULT};
}

inline int32_t i32(uint32_t v) {
    return int32_t(v);
}

// The string argument `arg` points at (a path, a command line), capped at kMaxPath.
inline Result<std::string, HostError> guest_string(TrapCall &t, int arg) {
    auto text = t.context.memory.read_string(t.args[arg], kMaxPath);
    if (!text) return bad_address();
    return std::move(*text);
}
// Where the path argument `arg` leads inside the root folder (see RootFs::locate).
RootFs::Place guest_place(TrapCall &t, int arg, RootFs::Final final);

// Descriptors: trap_files.cpp.
TrapResult trap_write(TrapCall &t);
TrapResult trap_read(TrapCall &t);
TrapResult trap_open(TrapCall &t);
TrapResult trap_close(TrapCall &t);
TrapResult trap_lseek(TrapCall &t);
TrapResult trap_dup(TrapCall &t);
TrapResult trap_dup2(TrapCall &t);

// Pipes: trap_pipes.cpp. trap_read, trap_write and trap_open hand pipe ends and FIFO nodes to
// the pipe_ functions, with the guest's bytes already in place.
TrapResult trap_pipe(TrapCall &t);
TrapResult trap_mkfifo(TrapCall &t);
TrapResult trap_fd_set_nonblock(TrapCall &t);
TrapResult pipe_read(TrapCall &t, int32_t fd, PipeEnd &end, uint8_t *bytes, uint32_t n);
TrapResult pipe_write(TrapCall &t, int32_t fd, PipeEnd &end, const uint8_t *bytes, uint32_t n);
// Opens an end of the FIFO node at `place`: O_RDONLY (access mode 0) gives the read end,
// O_WRONLY (1) the write end; O_RDWR is refused.
TrapResult pipe_open_fifo(TrapCall &t, const RootPlace &place, uint32_t access_mode);

// Folders and paths: trap_folders.cpp.
TrapResult trap_writefile(TrapCall &t);
TrapResult trap_mkdir(TrapCall &t);
TrapResult trap_unlink(TrapCall &t);
TrapResult trap_rmdir(TrapCall &t);
TrapResult trap_getcwd(TrapCall &t);
TrapResult trap_chdir(TrapCall &t);

// The process and the console: trap_process.cpp.
TrapResult trap_exit(TrapCall &t);
TrapResult trap_run(TrapCall &t);
TrapResult trap_usleep(TrapCall &t);
TrapResult trap_getkey(TrapCall &t);
TrapResult trap_spawn(TrapCall &t);
TrapResult trap_spawn_ex(TrapCall &t);
TrapResult trap_waitpid(TrapCall &t);
TrapResult trap_fd_set_stdio(TrapCall &t);
TrapResult trap_fd_set_inherit(TrapCall &t);
// waitpid again in a replay: the child recorded, waited for if need be.
void replay_waitpid(std::array<uint32_t, 6> &args, int32_t recorded);
TrapResult trap_backtrace(TrapCall &t);
// A console read with no input at hand while other processes could run: the trap leaves a
// wait for input instead of blocking the host. False: read now.
bool console_waits(TrapCall &t);
// Memory and streamed files: trap_memory.cpp.
TrapResult trap_mmap(TrapCall &t);
TrapResult trap_munmap(TrapCall &t);
// mmap again in a replay: anonymous, as the file's bytes come from the recording.
void replay_mmap(std::array<uint32_t, 6> &args, int32_t recorded);
TrapResult trap_stream_begin(TrapCall &t);
TrapResult trap_stream_write(TrapCall &t);
TrapResult trap_stream_end(TrapCall &t);

} // namespace vekos
