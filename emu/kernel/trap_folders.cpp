// Folder and path traps: writefile, mkdir, unlink, rmdir, getcwd, chdir.
#include "fs/replace_file.h"
#include "kernel/trap_handlers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vekos {
namespace {

// unlink and rmdir. The root folder itself can't be removed: it is not the guest's to take
// away.
TrapResult remove_entry(TrapCall &t, int flags) {
    auto place = guest_place(t, 0, RootFs::Final::NoFollow);
    if (!place) return place.failure();
    if (place->is_root) return fail(EBUSY);
    struct stat node {};
    bool fifo =
        fstatat(place->folder.get(), place->name.c_str(), &node, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISFIFO(node.st_mode);
    if (unlinkat(place->folder.get(), place->name.c_str(), flags) != 0) return last_host_error();
    // Open ends keep the old pipe; a FIFO made later, even on the same inode, gets a new one.
    if (fifo) t.context.fifos.forget(node.st_dev, node.st_ino);
    return 0;
}

} // namespace

RootFs::Place guest_place(TrapCall &t, int arg, RootFs::Final final) {
    auto path = guest_string(t, arg);
    if (!path) return path.failure();
    return t.context.fs.locate(t.context.cwd, *path, final);
}

// The whole content at once, as replace_file() stores it.
TrapResult trap_writefile(TrapCall &t) {
    if (i32(t.args[2]) < 0) return fail(EINVAL);
    auto bytes = t.context.memory.read_bytes(t.args[1], t.args[2]);
    auto place = guest_place(t, 0, RootFs::Final::Follow);
    if (!place) return place.failure();
    if (!bytes) return bad_address();
    if (auto why = replace_file(*place, *bytes, t.context.fs.options().unnamed_temp_files))
        return *why;
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
