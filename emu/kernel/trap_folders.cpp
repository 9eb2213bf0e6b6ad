// Folder and path traps: writefile, mkdir, unlink, rmdir, getcwd, chdir.
#include "kernel/trap_handlers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace vekos {
namespace {

// The root folder itself can't be removed: it is not the guest's to take away.
bool is_root(TrapCall &t, const std::string &path) {
    return path == t.context.fs.host_root();
}

} // namespace

std::optional<std::string> host_path(TrapCall &t, int arg, RootFs::Final final) {
    auto path = guest_string(t, arg);
    if (!path) return std::nullopt;
    return t.context.fs.resolve(t.context.cwd, *path, final);
}

// The new content goes to a temporary file beside the target, which then replaces it in one
// rename: a failure at any point leaves the old file as it was.
int32_t trap_writefile(TrapCall &t) {
    if (i32(t.args[2]) < 0) return kTrapFail;
    auto bytes = t.context.memory.read_bytes(t.args[1], t.args[2]);
    auto path = host_path(t, 0, RootFs::Final::Follow);
    if (!bytes || !path) return kTrapFail;
    struct stat st;
    if (stat(path->c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return kTrapFail;
    size_t slash = path->rfind('/');
    std::string temp = path->substr(0, slash + 1) + ".vekos-writefile-XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) return kTrapFail;
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
    return ok ? i32(t.args[2]) : kTrapFail;
}

int32_t trap_mkdir(TrapCall &t) {
    auto path = host_path(t, 0, RootFs::Final::NoFollow);
    return path && ::mkdir(path->c_str(), 0755) == 0 ? 0 : kTrapFail;
}

int32_t trap_unlink(TrapCall &t) {
    auto path = host_path(t, 0, RootFs::Final::NoFollow);
    return path && !is_root(t, *path) && ::unlink(path->c_str()) == 0 ? 0 : kTrapFail;
}

int32_t trap_rmdir(TrapCall &t) {
    auto path = host_path(t, 0, RootFs::Final::NoFollow);
    return path && !is_root(t, *path) && ::rmdir(path->c_str()) == 0 ? 0 : kTrapFail;
}

int32_t trap_getcwd(TrapCall &t) {
    const std::string &cwd = t.context.cwd;
    if (uint64_t(cwd.size()) + 1 > t.args[1]) return kTrapFail;
    return t.context.memory.write(t.args[0], cwd.c_str(), uint32_t(cwd.size() + 1))
               ? int32_t(cwd.size())
               : kTrapFail;
}

int32_t trap_chdir(TrapCall &t) {
    auto path = guest_string(t, 0);
    if (!path) return kTrapFail;
    auto host = t.context.fs.resolve(t.context.cwd, *path);
    struct stat st;
    if (!host || stat(host->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kTrapFail;
    t.context.cwd = RootFs::normalize(t.context.cwd, *path);
    return 0;
}

} // namespace vekos
