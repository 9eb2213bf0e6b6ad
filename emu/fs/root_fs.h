// The guest's file system: a host folder seen as "/". Guest paths are resolved lexically
// against the guest's current folder, then walked on the host beneath a descriptor of the root
// folder, one component at a time, so that no path, ".." or symbolic link ever leads outside
// the root, even while something on the host swaps folders for links meanwhile. Handlers then
// act with the *at calls on the folder descriptor the walk ended in.
#pragma once

#include "common/host_fd.h"

#include <sys/types.h>

#include "common/result.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vekos {

// Why a path was refused because it leads outside the root (through a link): no host errno is
// this large. The guest sees a failure like any other; a trace names the reason.
constexpr int kOutsideRoot = 0x10000;

// Where a guest path leads: a name in a folder inside the root.
struct RootPlace {
    HostFd folder;             // an O_PATH descriptor of the folder
    std::string name;          // the last component, or "." when the path names the folder itself
    bool exists = false;       // `name` is there (as lstat sees it)
    mode_t type = 0;           // its file type (S_IFMT bits) when it exists
    bool is_root = false;      // the root folder itself
    bool names_folder = false; // the guest path ended in "/" or "/.": only a folder will do
};

struct RootFsOptions {
    // Resolve folders with openat2(RESOLVE_BENEATH) where the host has it; otherwise, and
    // always when false, every path is walked component by component.
    bool openat2 = true;
    // writefile's new content goes to an unnamed file (O_TMPFILE) where the file system has
    // them; when false, or unsupported, to a named temporary file beside the target.
    bool unnamed_temp_files = true;
};

class RootFs {
  public:
    // Fails ("not a folder") when `host_root` is not an existing folder.
    static Result<RootFs> open(const std::string &host_root, RootFsOptions options = {});

    // The absolute, normalised guest path: "." and empty parts dropped, ".." at "/" stays.
    static std::string normalize(std::string_view cwd, std::string_view path);

    enum class Final { Follow, NoFollow };
    // Where a guest path leads, or why not: it would leave the root (kOutsideRoot), has too many
    // links (ELOOP), or the host can't walk it (its errno).
    using Place = Result<RootPlace, HostError>;
    // With Follow, symbolic links are followed to the end (a link's absolute target is a host
    // path and must lie in the root; a relative one is taken from the link's folder, and ".."
    // in it must not climb above the root). With NoFollow, a link as the last component names
    // the link itself (for unlink, rmdir, mkdir). A missing last component is fine as long as
    // its folder exists, unless a dangling link led to it.
    Place locate(std::string_view cwd, std::string_view path, Final final = Final::Follow) const;

    // The host path locate() leads to, for messages and tests only: acting on a path is open
    // to races, so the handlers use locate()'s descriptor instead.
    Result<std::string, HostError> resolve(std::string_view cwd, std::string_view path,
                                           Final final = Final::Follow) const;

    // True when the guest path names a folder inside the root.
    bool is_folder(std::string_view path) const;

    const std::string &host_root() const { return root_; }
    const RootFsOptions &options() const { return options_; }

  private:
    RootFs(std::string real_root, HostFd root_fd, RootFsOptions options);
    Place walk(HostFd from, std::string_view path, Final final) const;
    HostFd open_beneath(const std::string &relative) const;
    // Applies what a trailing "/" or "/." in the guest's `path` asks for.
    static Place finish(Place place, std::string_view path);
    // Where the walk goes on after a link to `target`; why not, when it may not.
    std::optional<HostError> enter_link(HostFd &folder, std::string_view target,
                                        std::string &rest) const;
    bool is_root(int fd) const;
    HostFd dup_root() const;

    std::string root_; // real path, no trailing slash (except "/" itself)
    HostFd root_fd_;   // O_PATH descriptor of the root folder
    dev_t root_dev_ = 0;
    ino_t root_ino_ = 0;
    RootFsOptions options_;
    mutable bool openat2_works_ = true;
};

} // namespace vekos
