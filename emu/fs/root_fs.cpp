#include "fs/root_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace vekos {
namespace {

// As many links as the host follows in one path.
constexpr int kMaxLinks = 40;

Result<std::string, HostError> real_path(const std::string &path) {
    char buffer[PATH_MAX];
    if (realpath(path.c_str(), buffer) == nullptr) return last_host_error();
    return std::string(buffer);
}

Result<std::string, HostError> read_link(int folder, const char *name) {
    char buffer[PATH_MAX];
    ssize_t n = readlinkat(folder, name, buffer, sizeof buffer);
    if (n < 0) return last_host_error();
    if (n == 0) return HostError{ENOENT};
    if (size_t(n) >= sizeof buffer) return HostError{ENAMETOOLONG};
    return std::string(buffer, size_t(n));
}

// Pushes the components of `path` so that the first one is popped first; a trailing slash
// becomes "." so that only a folder satisfies it.
void push_components(std::vector<std::string> &todo, std::string_view path) {
    std::vector<std::string> parts;
    for (size_t at = 0; at < path.size();) {
        size_t slash = std::min(path.find('/', at), path.size());
        if (slash > at) parts.emplace_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    if (!parts.empty() && path.back() == '/') parts.emplace_back(".");
    todo.insert(todo.end(), parts.rbegin(), parts.rend());
}

RootPlace folder_place(HostFd folder, bool is_root) {
    return RootPlace{std::move(folder), ".", true, S_IFDIR, is_root, false};
}

} // namespace

RootFs::RootFs(std::string real_root, HostFd root_fd, RootFsOptions options)
    : root_(std::move(real_root)), root_fd_(std::move(root_fd)), options_(options) {
    struct stat st;
    if (fstat(root_fd_.get(), &st) == 0) root_dev_ = st.st_dev, root_ino_ = st.st_ino;
}

Result<RootFs> RootFs::open(const std::string &host_root, RootFsOptions options) {
    auto real = real_path(host_root);
    HostFd fd;
    if (real) fd = HostFd(::open(real->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return Failure{"not a folder"};
    return RootFs(*real, std::move(fd), options);
}

std::string RootFs::normalize(std::string_view cwd, std::string_view path) {
    std::vector<std::string_view> parts;
    auto add = [&parts](std::string_view text) {
        while (!text.empty()) {
            size_t slash = text.find('/');
            std::string_view part = text.substr(0, slash);
            text = slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1);
            if (part.empty() || part == ".") continue;
            if (part == "..") {
                if (!parts.empty()) parts.pop_back(); // ".." at "/" stays at "/"
                continue;
            }
            parts.push_back(part);
        }
    };
    if (path.empty() || path[0] != '/') add(cwd);
    add(path);
    std::string out;
    for (std::string_view part : parts) out.append("/").append(part);
    return out.empty() ? "/" : out;
}

bool RootFs::is_root(int fd) const {
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_dev == root_dev_ && st.st_ino == root_ino_;
}

HostFd RootFs::dup_root() const {
    return HostFd(fcntl(root_fd_.get(), F_DUPFD_CLOEXEC, 0));
}

// An absolute target is a host path, allowed when it lies in the root: the walk starts over
// from the root with the rest of it. A relative one continues from the link's folder.
std::optional<HostError> RootFs::enter_link(HostFd &folder, std::string_view target,
                                            std::string &rest) const {
    if (target[0] != '/') {
        rest = target;
        return std::nullopt;
    }
    if (root_ != "/") {
        if (target.compare(0, root_.size(), root_) != 0 ||
            (target.size() > root_.size() && target[root_.size()] != '/'))
            return HostError{kOutsideRoot};
        target.remove_prefix(root_.size());
    }
    rest = target;
    folder = dup_root();
    if (!folder) return last_host_error();
    return std::nullopt;
}

// One component at a time, never following a link by the host: each is opened with O_PATH |
// O_NOFOLLOW and a link is read from that very descriptor, so a swap on the host between
// steps can only make the walk fail or see the old or the new entry, both inside the root.
RootFs::Place RootFs::walk(HostFd from, std::string_view path, Final final) const {
    std::vector<std::string> todo; // components still to walk, the next one last
    push_components(todo, path);
    HostFd folder = std::move(from);
    int links = 0;
    bool last_from_link = false; // the last component came out of a link's target
    // Why following the link failed, if it did.
    auto follow = [&](int fd, const char *name) -> std::optional<HostError> {
        auto target = read_link(fd, name);
        if (!target) return target.failure();
        if (++links > kMaxLinks) return HostError{ELOOP};
        std::string rest;
        if (auto refused = enter_link(folder, *target, rest)) return refused;
        last_from_link = last_from_link || todo.empty();
        push_components(todo, rest);
        return std::nullopt;
    };
    while (!todo.empty()) {
        std::string part = std::move(todo.back());
        todo.pop_back();
        bool last = todo.empty();
        if (part == "..") {
            // A link climbing out of the root.
            if (is_root(folder.get())) return HostError{kOutsideRoot};
            folder = HostFd(openat(folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!folder) return last_host_error();
        }
        if (part == "." || part == "..") {
            if (!last) continue;
            bool root = is_root(folder.get());
            return folder_place(std::move(folder), root);
        }
        if (last) {
            struct stat st;
            if (fstatat(folder.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT || last_from_link) return last_host_error();
                return RootPlace{std::move(folder), part};
            }
            if (S_ISLNK(st.st_mode) && final == Final::Follow) {
                if (auto failed = follow(folder.get(), part.c_str())) return *failed;
                continue;
            }
            return RootPlace{std::move(folder), part, true, mode_t(st.st_mode & S_IFMT)};
        }
        HostFd next(openat(folder.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (!next || fstat(next.get(), &st) != 0) return last_host_error();
        if (S_ISDIR(st.st_mode)) {
            folder = std::move(next);
        } else if (!S_ISLNK(st.st_mode)) {
            return HostError{ENOTDIR};
        } else if (auto failed = follow(next.get(), "")) {
            return *failed;
        }
    }
    bool root = is_root(folder.get());
    return folder_place(std::move(folder), root);
}

// The folder at a path relative to the root in one call, the kernel refusing anything that
// leaves it; empty when the host lacks openat2 or refuses (an absolute link, for one: walk).
HostFd RootFs::open_beneath(const std::string &relative) const {
#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
    struct open_how how = {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return HostFd(int(syscall(SYS_openat2, root_fd_.get(), relative.c_str(), &how, sizeof how)));
#else
    (void)relative;
    errno = ENOSYS;
    return {};
#endif
}

RootFs::Place RootFs::locate(std::string_view cwd, std::string_view path, Final final) const {
    if (path.empty()) return HostError{ENOENT};
    std::string guest = normalize(cwd, path);
    size_t slash = guest.rfind('/');
    if (options_.openat2 && openat2_works_ && slash > 0) {
        // The folder openat2 finds is the one the walk would reach: only the last component
        // is left to walk. A missing folder is missing either way; other refusals (an absolute
        // link, a rename racing with "..") go to the walk.
        HostFd folder = open_beneath(guest.substr(1, slash - 1));
        if (folder) return finish(walk(std::move(folder), guest.substr(slash + 1), final), path);
        if (errno == ENOENT || errno == ENOTDIR) return last_host_error();
        if (errno == ENOSYS || errno == EPERM) openat2_works_ = false; // old or filtered host
    }
    return finish(walk(dup_root(), guest, final), path);
}

RootFs::Place RootFs::finish(Place place, std::string_view path) {
    if (!place) return place;
    std::string_view tail = path.substr(path.find_last_of('/') + 1);
    place->names_folder = path.back() == '/' || tail == ".";
    if (place->names_folder && place->exists && place->type != S_IFDIR) return HostError{ENOTDIR};
    return place;
}

Result<std::string, HostError> RootFs::resolve(std::string_view cwd, std::string_view path,
                                               Final final) const {
    auto place = locate(cwd, path, final);
    if (!place) return place.failure();
    auto folder = real_path("/proc/self/fd/" + std::to_string(place->folder.get()));
    if (!folder) return folder;
    if (place->name == ".") return folder;
    return (*folder == "/" ? "" : *folder) + "/" + place->name;
}

bool RootFs::is_folder(std::string_view path) const {
    auto place = locate("/", path);
    return place && place->exists && place->type == S_IFDIR;
}

} // namespace vekos
