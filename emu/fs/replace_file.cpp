#include "fs/replace_file.h"

#include "common/retry.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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

bool write_all(int fd, std::span<const uint8_t> bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n =
            retry_on_eintr([&] { return ::write(fd, bytes.data() + done, bytes.size() - done); });
        if (n <= 0) return false;
        done += size_t(n);
    }
    return fsync(fd) == 0;
}

// Where the host file `path` is: its folder and name, links followed to the file itself.
Result<RootPlace, HostError> host_place(const std::string &path) {
    std::string target = path;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr),
                                                         &std::free);
        if (!real) return last_host_error();
        target = real.get();
    }
    RootPlace place;
    place.names_folder = target.ends_with('/');
    size_t end = target.find_last_not_of('/');
    if (end == std::string::npos) return HostError{EISDIR}; // "/"
    size_t slash = target.rfind('/', end);
    place.name = target.substr(slash + 1, end - slash);
    std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    place.folder = HostFd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!place.folder) return last_host_error();
    place.exists = fstatat(place.folder.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    place.type = place.exists ? st.st_mode & S_IFMT : 0;
    return place;
}

std::string in_words(HostError why) {
    return why.code == EINVAL ? "not a regular file" : std::strerror(why.code);
}

} // namespace

std::optional<HostError> replace_refused(const RootPlace &place) {
    if (place.exists && place.type == S_IFDIR) return HostError{EISDIR};
    if (place.names_folder) return HostError{place.exists ? ENOTDIR : ENOENT};
    if (place.exists && place.type != S_IFREG) return HostError{EINVAL};
    return std::nullopt;
}

std::optional<HostError> replace_file(const RootPlace &place, std::span<const uint8_t> bytes,
                                      bool unnamed_temp) {
    if (auto why = replace_refused(place)) return why;
    const int folder = place.folder.get();
    std::string temp;
    HostFd fd = open_temp_file(folder, unnamed_temp, temp);
    if (!fd) return last_host_error();
    fchmod(fd.get(), 0644);
    HostError why{};
    auto step = [&why](bool done) {
        if (!done && why.code == 0) why = last_host_error();
        return done;
    };
    bool ok = step(write_all(fd.get(), bytes));
    ok = ok && step(!temp.empty() || link_temp_file(fd.get(), folder, temp));
    ok = step(::close(fd.release()) == 0) && ok;
    ok = ok && step(renameat(folder, temp.c_str(), folder, place.name.c_str()) == 0);
    if (!ok && !temp.empty()) unlinkat(folder, temp.c_str(), 0);
    if (!ok) return why;
    return std::nullopt;
}

std::optional<std::string> replace_host_file(const std::string &path, std::string_view text) {
    auto place = host_place(path);
    if (!place) return in_words(place.failure());
    if (auto why = replace_refused(*place)) return in_words(*why);
    std::span bytes(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    if (auto why = replace_file(*place, bytes, true)) return std::string(std::strerror(why->code));
    return std::nullopt;
}

} // namespace vekos
