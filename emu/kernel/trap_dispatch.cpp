#include "trap_table.h"

#include "abi/trap_numbers.h"
#include "kernel.h"
#include "process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <thread>

namespace vekos {
namespace {

constexpr int32_t kFail = -1;
// Guest open flags use Linux i386 numbering; the host's may differ, so map them one by one.
constexpr uint32_t kGuestAccessMode = 3, kGuestCreate = 0x40, kGuestExclusive = 0x80,
                   kGuestTruncate = 0x200, kGuestAppend = 0x400;
// usleep really sleeps, but no longer than this: a guest must not stall the host for hours.
constexpr uint32_t kMaxSleepMicroseconds = 2'000'000;
// Reads and writes move at most this much per trap (a short count is allowed).
constexpr uint32_t kMaxTransfer = 1 << 20;

int32_t i32(uint32_t v) {
    return int32_t(v);
}

std::optional<std::string> guest_path(TrapCall &t, int arg) {
    return t.process.memory().read_string(t.args[arg], kMaxPath);
}

std::optional<std::string> host_path(TrapCall &t, int arg, RootFs::Final final) {
    auto path = guest_path(t, arg);
    if (!path) return std::nullopt;
    return t.process.kernel().fs().resolve(t.process.cwd(), *path, final);
}

// Retries host calls interrupted by signals.
template <typename F> auto retry(F &&f) {
    decltype(f()) r;
    do r = f();
    while (r < 0 && errno == EINTR);
    return r;
}

int32_t trap_write(TrapCall &t) {
    const Descriptor *d = t.process.fds().get(i32(t.args[0]));
    uint32_t n = std::min(t.args[2], kMaxTransfer);
    if (d == nullptr || i32(t.args[2]) < 0) return kFail;
    if (d->kind == Descriptor::Kind::File && !d->file->writable) return kFail;
    auto bytes = t.process.memory().read_bytes(t.args[1], n);
    if (!bytes) return kFail;
    if (d->kind == Descriptor::Kind::Console) {
        t.process.kernel().console().write(bytes->data(), bytes->size());
        return i32(n);
    }
    ssize_t done = retry([&] { return ::write(d->file->host_fd, bytes->data(), bytes->size()); });
    return done < 0 ? kFail : int32_t(done);
}

int32_t trap_read(TrapCall &t) {
    const Descriptor *d = t.process.fds().get(i32(t.args[0]));
    uint32_t n = std::min(t.args[2], kMaxTransfer);
    if (d == nullptr || i32(t.args[2]) < 0) return kFail;
    if (!t.process.memory().accessible(t.args[1], n, kProtWrite)) return kFail;
    if (d->kind == Descriptor::Kind::File && !d->file->readable) return kFail;
    std::vector<uint8_t> bytes(n);
    ssize_t got;
    if (d->kind == Descriptor::Kind::Console)
        got = t.process.kernel().console().read(bytes.data(), n);
    else
        got = retry([&] { return ::read(d->file->host_fd, bytes.data(), n); });
    if (got < 0) return kFail;
    t.process.memory().write(t.args[1], bytes.data(), uint32_t(got));
    return int32_t(got);
}

int32_t trap_exit(TrapCall &t) {
    t.process.request_exit(i32(t.args[0]));
    return 0;
}

int32_t trap_open(TrapCall &t) {
    uint32_t flags = t.args[1];
    uint32_t mode = flags & kGuestAccessMode;
    if (mode == 3) return kFail;
    int host_flags = (mode == 0   ? O_RDONLY
                      : mode == 1 ? O_WRONLY
                                  : O_RDWR) |
                     O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    if (flags & kGuestCreate) host_flags |= O_CREAT;
    if (flags & kGuestExclusive) host_flags |= O_EXCL;
    if (flags & kGuestTruncate) host_flags |= O_TRUNC;
    if (flags & kGuestAppend) host_flags |= O_APPEND;
    auto path = host_path(t, 0, RootFs::Final::Follow);
    if (!path) return kFail;
    // Non-blocking first: a FIFO or device in the root folder must not stall the host.
    int fd = retry([&] { return ::open(path->c_str(), host_flags | O_NONBLOCK, 0644); });
    if (fd < 0) return kFail;
    struct stat st;
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return kFail;
    }
    auto file = std::make_shared<OpenFile>(fd, mode != 1, mode != 0);
    return t.process.fds().add(std::move(file)); // a full table closes the file again
}

int32_t trap_close(TrapCall &t) {
    return t.process.fds().close(i32(t.args[0]));
}

int32_t trap_getkey(TrapCall &t) {
    uint8_t byte;
    return t.process.kernel().console().read(&byte, 1) == 1 ? byte : kFail;
}

// The new content goes to a temporary file beside the target, which then replaces it in one
// rename: a failure at any point leaves the old file as it was.
int32_t trap_writefile(TrapCall &t) {
    if (i32(t.args[2]) < 0) return kFail;
    auto bytes = t.process.memory().read_bytes(t.args[1], t.args[2]);
    auto path = host_path(t, 0, RootFs::Final::Follow);
    if (!bytes || !path) return kFail;
    struct stat st;
    if (stat(path->c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return kFail;
    size_t slash = path->rfind('/');
    std::string temp = path->substr(0, slash + 1) + ".vekos-writefile-XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) return kFail;
    fchmod(fd, 0644);
    bool ok = true;
    for (size_t done = 0; ok && done < bytes->size();) {
        ssize_t n = retry([&] { return ::write(fd, bytes->data() + done, bytes->size() - done); });
        ok = n > 0;
        done += ok ? size_t(n) : 0;
    }
    ok = ok && fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && rename(temp.c_str(), path->c_str()) == 0;
    if (!ok) unlink(temp.c_str());
    return ok ? i32(t.args[2]) : kFail;
}

int32_t trap_usleep(TrapCall &t) {
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::min(t.args[0], kMaxSleepMicroseconds)));
    return 0;
}

int32_t trap_mkdir(TrapCall &t) {
    auto path = host_path(t, 0, RootFs::Final::NoFollow);
    return path && ::mkdir(path->c_str(), 0755) == 0 ? 0 : kFail;
}

// The root folder itself can't be removed: it is not the guest's to take away.
bool is_root(TrapCall &t, const std::string &path) {
    return path == t.process.kernel().fs().host_root();
}

int32_t trap_unlink(TrapCall &t) {
    auto path = host_path(t, 0, RootFs::Final::NoFollow);
    return path && !is_root(t, *path) && ::unlink(path->c_str()) == 0 ? 0 : kFail;
}

int32_t trap_rmdir(TrapCall &t) {
    auto path = host_path(t, 0, RootFs::Final::NoFollow);
    return path && !is_root(t, *path) && ::rmdir(path->c_str()) == 0 ? 0 : kFail;
}

int32_t trap_getcwd(TrapCall &t) {
    const std::string &cwd = t.process.cwd();
    if (uint64_t(cwd.size()) + 1 > t.args[1]) return kFail;
    return t.process.memory().write(t.args[0], cwd.c_str(), uint32_t(cwd.size() + 1))
               ? int32_t(cwd.size())
               : kFail;
}

int32_t trap_chdir(TrapCall &t) {
    auto path = guest_path(t, 0);
    if (!path) return kFail;
    auto host = t.process.kernel().fs().resolve(t.process.cwd(), *path);
    struct stat st;
    if (!host || stat(host->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kFail;
    t.process.cwd() = RootFs::normalize(t.process.cwd(), *path);
    return 0;
}

int32_t trap_run(TrapCall &t) {
    auto line = guest_path(t, 0);
    if (!line) return kFail;
    t.process.request_run(std::move(*line));
    return 0; // the real result comes from the run loop, through complete_trap
}

int32_t trap_lseek(TrapCall &t) {
    const Descriptor *d = t.process.fds().get(i32(t.args[0]));
    int whence = t.args[2] == 0   ? SEEK_SET
                 : t.args[2] == 1 ? SEEK_CUR
                 : t.args[2] == 2 ? SEEK_END
                                  : -1;
    if (d == nullptr || d->kind != Descriptor::Kind::File || whence < 0) return kFail;
    off_t at = ::lseek(d->file->host_fd, off_t(i32(t.args[1])), whence);
    return at < 0 || at > INT32_MAX ? kFail : int32_t(at);
}

int32_t trap_dup(TrapCall &t) {
    return t.process.fds().dup(i32(t.args[0]));
}
int32_t trap_dup2(TrapCall &t) {
    return t.process.fds().dup2(i32(t.args[0]), i32(t.args[1]));
}

using K = ArgKind;
constexpr TrapArg I{K::Int}, U{K::Unsigned}, H{K::Hex}, P{K::Path};

const TrapRow kTraps[] = {
    {VEKOS_TRAP_WRITE, "write", trap_write, 3, {I, {K::BufferIn, 2}, U}},
    {VEKOS_TRAP_EXIT, "_exit", trap_exit, 1, {I}},
    {VEKOS_TRAP_READ, "read", trap_read, 3, {I, {K::BufferOut, 2}, U}},
    {VEKOS_TRAP_OPEN, "open", trap_open, 3, {P, H, H}},
    {VEKOS_TRAP_CLOSE, "close", trap_close, 1, {I}},
    {VEKOS_TRAP_GETKEY, "getkey", trap_getkey, 0, {}},
    {VEKOS_TRAP_WRITEFILE, "writefile", trap_writefile, 3, {P, {K::BufferIn, 2}, U}},
    {VEKOS_TRAP_USLEEP, "usleep", trap_usleep, 1, {U}},
    {VEKOS_TRAP_MKDIR, "mkdir", trap_mkdir, 1, {P}},
    {VEKOS_TRAP_UNLINK, "unlink", trap_unlink, 1, {P}},
    {VEKOS_TRAP_RMDIR, "rmdir", trap_rmdir, 1, {P}},
    {VEKOS_TRAP_GETCWD, "getcwd", trap_getcwd, 2, {{K::BufferOut, 1}, U}},
    {VEKOS_TRAP_CHDIR, "chdir", trap_chdir, 1, {P}},
    {VEKOS_TRAP_RUN, "run", trap_run, 1, {P}},
    {VEKOS_TRAP_LSEEK, "lseek", trap_lseek, 3, {I, I, I}},
    {VEKOS_TRAP_DUP, "dup", trap_dup, 1, {I}},
    {VEKOS_TRAP_DUP2, "dup2", trap_dup2, 2, {I, I}},
};

constexpr int kRegs[6] = {UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX,
                          UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EBP};
constexpr uint32_t kMaxRecorded = 1 << 20;

// What an argument carried; BufferOut only once the trap is done.
void record_data(Process &p, const TrapRow *row, TrapRecord &rec, bool done) {
    if (row == nullptr) return;
    for (int i = 0; i < row->arity; i++) {
        const TrapArg &arg = row->args[i];
        std::optional<std::string> data;
        if (arg.kind == K::Path && !done) {
            data = p.memory().read_string(rec.args[i], kMaxPath);
        } else if ((arg.kind == K::BufferIn && !done) ||
                   (arg.kind == K::BufferOut && done && rec.result >= 0)) {
            uint32_t n = arg.kind == K::BufferIn ? rec.args[arg.length_arg] : uint32_t(rec.result);
            if (row->number == VEKOS_TRAP_GETCWD)
                n = rec.result >= 0 ? uint32_t(rec.result) : 0; // getcwd: the text
            if (auto bytes = p.memory().read_bytes(rec.args[i], std::min(n, kMaxRecorded)))
                data = std::string(bytes->begin(), bytes->end());
        } else {
            continue;
        }
        rec.data[i] = std::move(data);
    }
}

void notify_after(Process &p, TrapRecord &rec) {
    for (TrapObserver *o : p.kernel().observers()) o->after(rec);
}

} // namespace

const TrapRow *find_trap(uint32_t number) {
    for (const TrapRow &row : kTraps)
        if (row.number == number) return &row;
    return nullptr;
}

void dispatch_trap(Process &p) {
    Engine &e = p.engine();
    std::array<uint32_t, 6> args;
    for (int i = 0; i < 6; i++) args[i] = e.reg(kRegs[i]);
    uint32_t number = e.reg(UC_X86_REG_EAX);
    const TrapRow *row = find_trap(number);
    const bool observed = !p.kernel().observers().empty();
    if (observed) {
        TrapRecord rec;
        rec.number = number;
        rec.args = args;
        record_data(p, row, rec, false);
        for (TrapObserver *o : p.kernel().observers()) {
            if (auto answer = o->before(rec)) {
                rec.result = *answer;
                rec.scripted = true;
                e.set_reg(UC_X86_REG_EAX, uint32_t(*answer));
                notify_after(p, rec);
                return;
            }
        }
        p.trap_record() = std::move(rec);
    }
    TrapCall call{p, args};
    int32_t result = kFail;
    try {
        if (row != nullptr) result = row->handler(call);
    } catch (const std::bad_alloc &) {
        // A request too big for the host fails like any other the kernel can't serve.
    }
    if (p.acting()) { // exit or run request: the run loop finishes the trap
        if (observed && number == VEKOS_TRAP_EXIT) {
            p.trap_record()->returned = false;
            notify_after(p, *p.trap_record());
            p.trap_record().reset();
        }
        return;
    }
    complete_trap(p, result);
}

void complete_trap(Process &p, int32_t result) {
    p.engine().set_reg(UC_X86_REG_EAX, uint32_t(result));
    if (!p.trap_record()) return;
    TrapRecord &rec = *p.trap_record();
    rec.result = result;
    record_data(p, find_trap(rec.number), rec, true);
    notify_after(p, rec);
    p.trap_record().reset();
}

} // namespace vekos
