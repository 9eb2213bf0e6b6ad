// Descriptor traps: write, read, open, close, lseek, dup, dup2.
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
int32_t trap_write(TrapCall &t) {
    const Descriptor *d = t.context.fds.get(i32(t.args[0]));
    uint32_t n = std::min(t.args[2], kMaxTransfer);
    if (d == nullptr || i32(t.args[2]) < 0) return kTrapFail;
    if (d->kind == Descriptor::Kind::File && !d->file->writable) return fail_with(EBADF);
    std::vector<uint8_t> copy;
    const uint8_t *bytes = t.context.memory.view(t.args[1], n, kProtRead);
    if (bytes == nullptr) {
        auto read = t.context.memory.read_bytes(t.args[1], n);
        if (!read) return kTrapFail;
        copy = std::move(*read);
        bytes = copy.data();
    }
    if (d->kind == Descriptor::Kind::Console) {
        t.context.console.write(bytes, n);
        return i32(n);
    }
    OpenFile &file = *d->file;
    if (!give_back(file)) return kTrapFail; // the write lands at the guest's offset
    ssize_t done = retry([&] { return ::write(file.host_fd, bytes, n); });
    note_file_written(file);
    return done < 0 ? kTrapFail : int32_t(done);
}

int32_t trap_read(TrapCall &t) {
    const Descriptor *d = t.context.fds.get(i32(t.args[0]));
    uint32_t n = std::min(t.args[2], kMaxTransfer);
    if (d == nullptr || i32(t.args[2]) < 0) return kTrapFail;
    if (d->kind == Descriptor::Kind::File && !d->file->readable) return fail_with(EBADF);
    std::vector<uint8_t> copy;
    uint8_t *bytes = t.context.memory.writable_view(t.args[1], n);
    if (bytes == nullptr) {
        if (!t.context.memory.accessible(t.args[1], n, kProtWrite)) return kTrapFail;
        copy.resize(n);
        bytes = copy.data();
    }
    ssize_t got = d->kind == Descriptor::Kind::Console ? t.context.console.read(bytes, n)
                                                       : read_through(*d->file, bytes, n);
    if (got < 0) return kTrapFail;
    if (!copy.empty()) t.context.memory.write(t.args[1], bytes, uint32_t(got));
    return int32_t(got);
}

int32_t trap_open(TrapCall &t) {
    uint32_t flags = t.args[1];
    uint32_t mode = flags & kGuestAccessMode;
    if (mode == 3) return fail_with(EINVAL);
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
    if (!place) return kTrapFail;
    if (place->names_folder && (host_flags & O_CREAT)) return fail_with(EISDIR);
    if (place->names_folder) host_flags |= O_DIRECTORY;
    // Non-blocking first: a FIFO or device in the root folder must not stall the host.
    int fd = retry([&] {
        return ::openat(place->folder.get(), place->name.c_str(), host_flags | O_NONBLOCK, 0644);
    });
    if (fd < 0) return kTrapFail;
    struct stat st;
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return kTrapFail;
    }
    auto file = std::make_shared<OpenFile>(fd, mode != 1, mode != 0);
    return t.context.fds.add(std::move(file)); // a full table closes the file again
}

int32_t trap_close(TrapCall &t) {
    return t.context.fds.close(i32(t.args[0]));
}

int32_t trap_lseek(TrapCall &t) {
    const Descriptor *d = t.context.fds.get(i32(t.args[0]));
    int whence = t.args[2] == 0   ? SEEK_SET
                 : t.args[2] == 1 ? SEEK_CUR
                 : t.args[2] == 2 ? SEEK_END
                                  : -1;
    if (d == nullptr || d->kind != Descriptor::Kind::File || whence < 0) return kTrapFail;
    OpenFile &file = *d->file;
    if (whence == SEEK_CUR && t.args[1] == 0) // where am I: keeps what is read ahead
        return int32_t(guest_offset(file));
    if (!give_back(file)) return kTrapFail;
    off_t at = seek_target(file.host_fd, off_t(i32(t.args[1])), whence);
    if (at < 0 || at > INT32_MAX) return kTrapFail; // refused without moving the offset
    return ::lseek(file.host_fd, at, SEEK_SET) == at ? int32_t(at) : kTrapFail;
}

int32_t trap_dup(TrapCall &t) {
    return t.context.fds.dup(i32(t.args[0]));
}

int32_t trap_dup2(TrapCall &t) {
    return t.context.fds.dup2(i32(t.args[0]), i32(t.args[1]));
}

} // namespace vekos
