#include "host/output_file.h"

#include "common/retry.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

namespace vekos {
namespace {

constexpr const char *kNotAnOutput = "not a regular file or a character device";
constexpr const char *kNotRegular = "not a regular file";

bool usable_output(const struct stat &st) {
    return S_ISREG(st.st_mode) || S_ISCHR(st.st_mode);
}

bool regular(const struct stat &st) {
    return S_ISREG(st.st_mode);
}

// Opens without waiting, refusing with `refusal` a file that isn't `usable`.
Result<HostFd> open_without_waiting(const std::string &path, int flags,
                                    bool (*usable)(const struct stat &), const char *refusal) {
    HostFd fd(retry_on_eintr(
        [&] { return ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666); }));
    struct stat st;
    if (!fd) {
        // A FIFO without a reader, or a socket: ENXIO says little, the kind of file says it.
        int error = errno;
        bool exists = stat(path.c_str(), &st) == 0;
        return Failure{exists && !S_ISDIR(st.st_mode) && !usable(st) ? refusal
                                                                     : std::strerror(error)};
    }
    if (fstat(fd.get(), &st) != 0) return Failure{std::strerror(errno)};
    if (!usable(st)) return Failure{refusal};
    int now = fcntl(fd.get(), F_GETFL);
    if (now < 0 || fcntl(fd.get(), F_SETFL, now & ~O_NONBLOCK) != 0)
        return Failure{std::strerror(errno)};
    return fd;
}

} // namespace

Result<HostFd> open_output_file(const std::string &path) {
    return open_without_waiting(path, O_WRONLY | O_CREAT | O_TRUNC, usable_output, kNotAnOutput);
}

Result<HostFd> open_regular_file(const std::string &path, int flags) {
    return open_without_waiting(path, flags, regular, kNotRegular);
}

std::optional<std::string> not_a_regular_file(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || regular(st)) return std::nullopt;
    return kNotRegular;
}

} // namespace vekos
