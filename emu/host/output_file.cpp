#include "host/output_file.h"

#include "common/retry.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

namespace vekos {
namespace {

constexpr const char *kNotAnOutput = "not a regular file or a character device";

bool usable_output(const struct stat &st) {
    return S_ISREG(st.st_mode) || S_ISCHR(st.st_mode);
}

} // namespace

Result<HostFd> open_output_file(const std::string &path) {
    HostFd fd(retry_on_eintr([&] {
        return ::open(path.c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    }));
    struct stat st;
    if (!fd) {
        // A FIFO without a reader, or a socket: ENXIO says little, the kind of file says it.
        int error = errno;
        bool exists = stat(path.c_str(), &st) == 0;
        return Failure{exists && !S_ISDIR(st.st_mode) && !usable_output(st) ? kNotAnOutput
                                                                            : std::strerror(error)};
    }
    if (fstat(fd.get(), &st) != 0) return Failure{std::strerror(errno)};
    if (!usable_output(st)) return Failure{kNotAnOutput};
    int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return Failure{std::strerror(errno)};
    return fd;
}

} // namespace vekos
