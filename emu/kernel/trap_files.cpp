// Descriptor traps: write, read, open, close, lseek, dup, dup2. Pipe ends and FIFO nodes are
// served in trap_pipes.cpp.
#include "abi/open_flags.h"
#include "fs/fd_table.h"
#include "host/console.h"
#include "kernel/trap_handlers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

namespace vekos {
namespace {

// Guest open flags (abi/open_flags.h) use Linux i386 numbering; the host's may differ, so
// map them one by one.
constexpr uint32_t kGuestAccessMode = VEKOS_O_ACCMODE, kGuestCreate = VEKOS_O_CREAT,
                   kGuestExclusive = VEKOS_O_EXCL, kGuestTruncate = VEKOS_O_TRUNC,
                   kGuestAppend = VEKOS_O_APPEND;
// Reads and writes move at most this much per trap (a short count is allowed).
constexpr uint32_t kMaxTransfer = 1 << 20;

// Where an lseek would go, computed without moving the offset; -1 when it can't be known.
off_t seek_target(int fd, off_t offset, int whence) {
    off_t base = 0;
    struct stat st;
    if (whence == SEEK_CUR) base = ::lseek(fd, 0, SEEK_CUR);
    if (whence == SEEK_END) base = fstat(fd, &st) == 0 ? st.st_size : -1;
    return base < 0 ? -1 : base + offset;
}

} // namespace

// Guests write a byte per trap: the bytes go from guest memory to the host without a copy
// in between, unless they straddle regions.
TrapResult trap_write(TrapCall &t) {
    const Descriptor *d = t.context.fds.get(i32(t.args[0]));
    uint32_t n = std::min(t.args[2], kMaxTransfer);
    if (d == nullptr) return fail(EBADF);
    if (i32(t.args[2]) < 0) return fail(EINVAL);
    if (d->kind == Descriptor::Kind::File && !d->file->writable) return fail(EBADF);
    std::vector<uint8_t> copy;
    const uint8_t *bytes = t.context.memory.view(t.args[1], n, kProtRead);
    if (bytes == nullptr) {
        auto read = t.context.memory.read_bytes(t.args[1], n);
        if (!read) return bad_address();
        copy = std::move(*read);
        bytes = copy.data();
    }
    if (d->kind == Descriptor::Kind::Console) {
        t.context.console.write(bytes, n);
        return i32(n);
    }
    if (d->kind == Descriptor::Kind::Pipe) return pipe_write(t, i32(t.args[0]), *d->pipe, bytes, n);
    OpenFile &file = *d->file;
    auto given = give_back(file); // the write lands at the guest's offset
    if (!given) return given.failure();
    ssize_t done = retry_on_eintr([&] { return ::write(file.fd.get(), bytes, n); });
    HostError why = last_host_error();
    t.context.changes.note_written(file);
    if (done < 0) return why;
    return int32_t(done);
}

TrapResult trap_read(TrapCall &t) {
    const Descriptor *d = t.context.fds.get(i32(t.args[0]));
    uint32_t n = std::min(t.args[2], kMaxTransfer);
    if (d == nullptr) return fail(EBADF);
    if (i32(t.args[2]) < 0) return fail(EINVAL);
    if (d->kind == Descriptor::Kind::File && !d->file->readable) return fail(EBADF);
    std::vector<uint8_t> copy;
    uint8_t *bytes = t.context.memory.writable_view(t.args[1], n);
    if (bytes == nullptr) {
        if (!t.context.memory.accessible(t.args[1], n, kProtWrite)) return bad_address();
        copy.resize(n);
        bytes = copy.data();
    }
    uint32_t got;
    if (d->kind == Descriptor::Kind::Console) {
        if (console_waits(t)) return 0;
        int32_t read = t.context.console.read(bytes, n);
        if (read < 0) return last_host_error();
        got = uint32_t(read);
    } else if (d->kind == Descriptor::Kind::Pipe) {
        auto read = pipe_read(t, i32(t.args[0]), *d->pipe, bytes, n);
        if (!read) return read.failure();
        got = uint32_t(*read); // 0 when it waits
    } else {
        auto read = t.context.changes.read_through(*d->file, bytes, n);
        if (!read) return read.failure();
        got = *read;
    }
    if (!copy.empty()) t.context.memory.write(t.args[1], bytes, got);
    return int32_t(got);
}

TrapResult trap_open(TrapCall &t) {
    uint32_t flags = t.args[1];
    uint32_t mode = flags & kGuestAccessMode;
    if (mode == 3) return fail(EINVAL);
    int host_flags = (mode == 0   ? O_RDONLY
                      : mode == 1 ? O_WRONLY
                                  : O_RDWR) |
                     O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    if (flags & kGuestCreate) host_flags |= O_CREAT;
    if (flags & kGuestExclusive) host_flags |= O_EXCL;
    if (flags & kGuestTruncate) host_flags |= O_TRUNC;
    if (flags & kGuestAppend) host_flags |= O_APPEND;
    auto place = guest_place(t, 0, RootFs::Final::Follow);
    // A path ending in "/" opens only a folder, and creates nothing.
    if (!place) return place.failure();
    if (place->exists && place->type == S_IFIFO) {
        if ((flags & kGuestCreate) && (flags & kGuestExclusive)) return fail(EEXIST);
        return pipe_open_fifo(t, *place, mode); // the host never opens it
    }
    if (place->names_folder && (host_flags & O_CREAT)) return fail(EISDIR);
    if (place->names_folder) host_flags |= O_DIRECTORY;
    // Non-blocking first: a FIFO or device in the root folder must not stall the host.
    HostFd fd(retry_on_eintr([&] {
        return ::openat(place->folder.get(), place->name.c_str(), host_flags | O_NONBLOCK, 0644);
    }));
    if (!fd) return last_host_error();
    struct stat st;
    if (fstat(fd.get(), &st) != 0 ||
        fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0)
        return last_host_error();
    if (!(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
        return fail(EACCES); // devices, and FIFOs put there meanwhile, stay the host's
    auto file = std::make_shared<OpenFile>(std::move(fd), mode != 1, mode != 0);
    return t.context.fds.add(std::move(file)); // a full table closes the file again
}

TrapResult trap_close(TrapCall &t) {
    return t.context.fds.close(i32(t.args[0]));
}

TrapResult trap_lseek(TrapCall &t) {
    const Descriptor *d = t.context.fds.get(i32(t.args[0]));
    int whence = t.args[2] == 0   ? SEEK_SET
                 : t.args[2] == 1 ? SEEK_CUR
                 : t.args[2] == 2 ? SEEK_END
                                  : -1;
    if (d == nullptr) return fail(EBADF);
    if (d->kind != Descriptor::Kind::File) return fail(ESPIPE);
    if (whence < 0) return fail(EINVAL);
    OpenFile &file = *d->file;
    if (whence == SEEK_CUR && t.args[1] == 0) { // where am I: keeps what is read ahead
        auto offset = guest_offset(file);
        if (!offset) return offset.failure();
        return int32_t(*offset);
    }
    auto given = give_back(file);
    if (!given) return given.failure();
    off_t at = seek_target(file.fd.get(), off_t(i32(t.args[1])), whence);
    if (at < 0) return fail(EINVAL); // refused without moving the offset
    if (at > INT32_MAX) return fail(EOVERFLOW);
    if (::lseek(file.fd.get(), at, SEEK_SET) != at) return last_host_error();
    return int32_t(at);
}

TrapResult trap_dup(TrapCall &t) {
    return t.context.fds.dup(i32(t.args[0]));
}

TrapResult trap_dup2(TrapCall &t) {
    return t.context.fds.dup2(i32(t.args[0]), i32(t.args[1]));
}

} // namespace vekos
