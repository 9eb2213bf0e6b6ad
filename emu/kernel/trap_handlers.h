// The trap handlers, by family; the table in trap_table.cpp names them. Each returns the trap's
// result: -1 for anything it can't or won't do.
#pragma once

#include "fs/root_fs.h"
#include "kernel/trap_table.h"
#include "machine/guest_memory.h"

#include <cerrno>
#include <optional>
#include <string>

namespace vekos {

constexpr int32_t kTrapFail = -1;

// Fails a trap for a reason the handler found itself, so the trace can say why.
inline int32_t fail_with(int error) {
    errno = error;
    return kTrapFail;
}

inline int32_t i32(uint32_t v) {
    return int32_t(v);
}

// The string argument `arg` points at (a path, a command line), capped at kMaxPath.
inline std::optional<std::string> guest_string(TrapCall &t, int arg) {
    return t.context.memory.read_string(t.args[arg], kMaxPath);
}
// Where the path argument `arg` leads inside the root folder (see RootFs::locate).
std::optional<RootPlace> guest_place(TrapCall &t, int arg, RootFs::Final final);

// Retries host calls interrupted by signals.
template <typename F> auto retry(F &&f) {
    decltype(f()) r;
    do r = f();
    while (r < 0 && errno == EINTR);
    return r;
}

// Descriptors: trap_files.cpp.
int32_t trap_write(TrapCall &t);
int32_t trap_read(TrapCall &t);
int32_t trap_open(TrapCall &t);
int32_t trap_close(TrapCall &t);
int32_t trap_lseek(TrapCall &t);
int32_t trap_dup(TrapCall &t);
int32_t trap_dup2(TrapCall &t);

// Folders and paths: trap_folders.cpp.
int32_t trap_writefile(TrapCall &t);
int32_t trap_mkdir(TrapCall &t);
int32_t trap_unlink(TrapCall &t);
int32_t trap_rmdir(TrapCall &t);
int32_t trap_getcwd(TrapCall &t);
int32_t trap_chdir(TrapCall &t);

// The process and the console: trap_process.cpp.
int32_t trap_exit(TrapCall &t);
int32_t trap_run(TrapCall &t);
int32_t trap_usleep(TrapCall &t);
int32_t trap_getkey(TrapCall &t);
// Traps this kernel refuses (processes, pipes, memory mapping, vekfs streams).
int32_t trap_refused(TrapCall &t);

} // namespace vekos
