// Folder and path traps: writefile, mkdir, unlink, rmdir, getcwd, chdir.
#include "kernel/trap_handlers.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace vekos {
namespace {

constexpr char kTempPrefix[] = ".vekos-writefile-";
constexpr int kTempNameAttempts = 16;

std::string temp_name() {
    uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, 0) != ssize_t(sizeof bits)) bits ^= uint64_t(getpid()) << 20;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return kTempPrefix + std::string(text);
}

// An unnamed file in `folder` where the file system has them: a writer killed before it is
// linked leaves nothing behind. Otherwise a named one, `name` set, which such a writer leaves.
HostFd open_temp_file(int folder, bool unnamed, std::string &name) {
    name.clear();
    if (unnamed) {
        HostFd fd(openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644));
        if (fd || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    }
    for (int attempt = 0; attempt < kTempNameAttempts; attempt++) {
        std::string candidate = temp_name();
        HostFd fd(openat(folder, candidate.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (fd) name = std::move(candidate);
        if (fd || errno != EEXIST) return fd;
    }
    return {};
}

// Names the unnamed file in `folder`. Older hosts link by descriptor only with
// CAP_DAC_READ_SEARCH; there the file's /proc entry does the same.
bool link_temp_file(int fd, int folder, std::string &name) {
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < kTempNameAttempts; attempt++) {
        std::string candidate = temp_name();
        if (linkat(fd, "", folder, candidate.c_str(), AT_EMPTY_PATH) == 0 ||
            (errno != EEXIST &&
             linkat(AT_FDCWD, self.c_str(), folder, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0)) {
            name = std::move(candidate);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

bool write_all(int fd, const std::vector<uint8_t> &bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n =
            retry_on_eintr([&] { return ::write(fd, bytes.data() + done, bytes.size() - done); });
        if (n <= 0) return false;
        done += size_t(n);
    }
    return fsync(fd) == 0;
}

// unlink and rmdir. The root folder itself can't be removed: it is not the guest's to take
// away.
TrapResult remove_entry(TrapCall &t, int flags) {
    auto place = guest_place(t, 0, RootFs::Final::NoFollow);
    if (!place) return place.failure();
    if (place->is_root) return fail(EBUSY);
    if (unlinkat(place->folder.get(), place->name.c_str(), flags) != 0) return last_host_error();
    return 0;
}

} // namespace

RootFs::Place guest_place(TrapCall &t, int arg, RootFs::Final final) {
    auto path = guest_string(t, arg);
    if (!path) return path.failure();
    return t.context.fs.locate(t.context.cwd, *path, final);
}

// The new content goes to a temporary file in the target's folder, which then replaces the
// target in one rename: a failure at any point leaves the old file as it was.
TrapResult trap_writefile(TrapCall &t) {
    if (i32(t.args[2]) < 0) return fail(EINVAL);
    auto bytes = t.context.memory.read_bytes(t.args[1], t.args[2]);
    auto place = guest_place(t, 0, RootFs::Final::Follow);
    if (!place) return place.failure();
    if (!bytes) return bad_address();
    if (place->exists && place->type == S_IFDIR) return fail(EISDIR);
    if (place->names_folder) return fail(place->exists ? ENOTDIR : ENOENT);
    if (place->exists && place->type != S_IFREG) return fail(EINVAL);
    const int folder = place->folder.get();
    std::string temp;
    HostFd fd = open_temp_file(folder, t.context.fs.options().unnamed_temp_files, temp);
    if (!fd) return last_host_error();
    fchmod(fd.get(), 0644);
    HostError why{};
    auto step = [&why](bool done) {
        if (!done && why.code == 0) why = last_host_error();
        return done;
    };
    bool ok = step(write_all(fd.get(), *bytes));
    ok = ok && step(!temp.empty() || link_temp_file(fd.get(), folder, temp));
    ok = step(::close(fd.release()) == 0) && ok;
    ok = ok && step(renameat(folder, temp.c_str(), folder, place->name.c_str()) == 0);
    if (!ok && !temp.empty()) unlinkat(folder, temp.c_str(), 0);
    if (!ok) return why;
    return i32(t.args[2]);
}

TrapResult trap_mkdir(TrapCall &t) {
    auto place = guest_place(t, 0, RootFs::Final::NoFollow);
    if (!place) return place.failure();
    if (place->exists) return fail(EEXIST);
    if (mkdirat(place->folder.get(), place->name.c_str(), 0755) != 0) return last_host_error();
    return 0;
}

TrapResult trap_unlink(TrapCall &t) {
    return remove_entry(t, 0);
}

TrapResult trap_rmdir(TrapCall &t) {
    return remove_entry(t, AT_REMOVEDIR);
}

TrapResult trap_getcwd(TrapCall &t) {
    const std::string &cwd = t.context.cwd;
    if (uint64_t(cwd.size()) + 1 > t.args[1]) return fail(ERANGE);
    if (!t.context.memory.write(t.args[0], cwd.c_str(), uint32_t(cwd.size() + 1)))
        return bad_address();
    return int32_t(cwd.size());
}

TrapResult trap_chdir(TrapCall &t) {
    auto path = guest_string(t, 0);
    if (!path) return path.failure();
    auto place = t.context.fs.locate(t.context.cwd, *path);
    if (!place) return place.failure();
    if (!place->exists || place->type != S_IFDIR) return fail(place->exists ? ENOTDIR : ENOENT);
    t.context.cwd = RootFs::normalize(t.context.cwd, *path);
    return 0;
}

} // namespace vekos
