// Pipe traps: pipe, mkfifo, fd_set_nonblock, and reads, writes and opens that reach a pipe.
// A read or write that can't go on now fails at once on a non-blocking end; otherwise it
// leaves a Wait for the run loop, saying in words what the process waits on.
#include "fs/fd_table.h"
#include "kernel/trap_handlers.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <string>

namespace vekos {
namespace {

// "descriptor 3, a pipe whose write end it holds itself"
std::string waited_on(const TrapCall &t, int32_t fd, const PipeEnd &end) {
    const bool reading = end.side() == Pipe::Side::Read;
    const Pipe::Side other = reading ? Pipe::Side::Write : Pipe::Side::Read;
    std::string text =
        (reading ? "waits to read from descriptor " : "waits to write to descriptor ") +
        std::to_string(fd) + (reading ? ", an empty pipe" : ", a full pipe");
    if (t.context.fds.holds(end.pipe(), other))
        text += reading ? " whose write end it holds itself" : " whose read end it holds itself";
    return text;
}

// The trap runs again once the pipe can take it.
TrapResult wait_or_fail(TrapCall &t, int32_t fd, const PipeEnd &end) {
    if (end.nonblocking) return fail(EAGAIN);
    t.action.kind = PendingAction::Kind::Wait;
    t.action.wait.what = waited_on(t, fd, end);
    std::shared_ptr<const Pipe> pipe = end.shared_pipe();
    if (end.side() == Pipe::Side::Read)
        t.action.wait.ready = [pipe] { return pipe->can_read(); };
    else
        t.action.wait.ready = [pipe] { return pipe->can_write(); };
    return 0; // not the guest's: the trap stays unanswered
}

TrapResult transfer_result(TrapCall &t, int32_t fd, const PipeEnd &end, Pipe::Transfer done) {
    switch (done.status) {
    case Pipe::Status::Done:
        return int32_t(done.count);
    case Pipe::Status::WouldWait:
        return wait_or_fail(t, fd, end);
    case Pipe::Status::Broken:
        break;
    }
    return fail(EPIPE); // no signal: the write just fails
}

} // namespace

// Both descriptors or neither: the pair's place is checked before any is taken.
TrapResult trap_pipe(TrapCall &t) {
    if (!t.context.memory.accessible(t.args[0], 8, kProtWrite)) return bad_address();
    auto pipe = std::make_shared<Pipe>();
    FdTable &fds = t.context.fds;
    auto read_fd = fds.add(std::make_shared<PipeEnd>(pipe, Pipe::Side::Read));
    if (!read_fd) return read_fd.failure();
    auto write_fd = fds.add(std::make_shared<PipeEnd>(pipe, Pipe::Side::Write));
    if (!write_fd) {
        fds.close(*read_fd);
        return write_fd.failure();
    }
    const int32_t pair[2] = {*read_fd, *write_fd};
    t.context.memory.write(t.args[0], pair, sizeof pair);
    return 0;
}

// A real FIFO node, so that folders list it; the host never opens it (see pipe_open_fifo).
TrapResult trap_mkfifo(TrapCall &t) {
    auto place = guest_place(t, 0, RootFs::Final::NoFollow);
    if (!place) return place.failure();
    if (place->exists) return fail(EEXIST);
    if (place->names_folder) return fail(ENOENT);
    if (mkfifoat(place->folder.get(), place->name.c_str(), 0644) != 0) return last_host_error();
    return 0;
}

// Only pipe ends wait; on any other descriptor the call fails rather than promise what
// reads and writes there won't do.
TrapResult trap_fd_set_nonblock(TrapCall &t) {
    const Descriptor *d = t.context.fds.get(i32(t.args[0]));
    if (d == nullptr) return fail(EBADF);
    if (d->kind != Descriptor::Kind::Pipe) return fail(EINVAL);
    d->pipe->nonblocking = t.args[1] != 0;
    return 0;
}

TrapResult pipe_read(TrapCall &t, int32_t fd, PipeEnd &end, uint8_t *bytes, uint32_t n) {
    if (end.side() != Pipe::Side::Read) return fail(EBADF);
    return transfer_result(t, fd, end, end.pipe().read(bytes, n));
}

TrapResult pipe_write(TrapCall &t, int32_t fd, PipeEnd &end, const uint8_t *bytes, uint32_t n) {
    if (end.side() != Pipe::Side::Write) return fail(EBADF);
    return transfer_result(t, fd, end, end.pipe().write(bytes, n));
}

// The node's device and inode name its pipe. Opening never waits for the other end: a read
// with no writer yet finds the end of the data.
TrapResult pipe_open_fifo(TrapCall &t, const RootPlace &place, uint32_t access_mode) {
    if (place.names_folder) return fail(ENOTDIR);
    if (access_mode > 1) return fail(EINVAL);
    struct stat st;
    if (fstatat(place.folder.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return last_host_error();
    if (!S_ISFIFO(st.st_mode)) return fail(EACCES); // replaced meanwhile
    const Pipe::Side side = access_mode == 0 ? Pipe::Side::Read : Pipe::Side::Write;
    return t.context.fds.add(
        std::make_shared<PipeEnd>(t.context.fifos.pipe_for(st.st_dev, st.st_ino), side));
}

} // namespace vekos
