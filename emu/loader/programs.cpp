#include "loader/programs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vekos {

std::optional<ProgramKind> program_kind(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || name.find('/', dot) != std::string_view::npos)
        return std::nullopt;
    std::string_view ext = name.substr(dot);
    if (ext == ".uelf" || ext == ".vek") return ProgramKind::Elf;
    if (ext == ".bin" || ext == ".flat") return ProgramKind::Flat;
    if (ext == ".shell") return ProgramKind::Script;
    return std::nullopt;
}

namespace {

// Reads an open descriptor whole. Only a regular file will do: the open didn't wait, so a
// FIFO or device swapped in for the program is refused here rather than read from.
Result<std::vector<uint8_t>> read_open_file(int fd, size_t max) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0) close(fd);
        return Failure{"cannot open"};
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return Failure{"not a regular file"};
    }
    if (uint64_t(st.st_size) > max) {
        close(fd);
        return Failure{"file too large"};
    }
    std::vector<uint8_t> bytes(size_t(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    close(fd);
    bytes.resize(done); // a file that shrank meanwhile is read as it now is
    return bytes;
}

} // namespace

Result<std::vector<uint8_t>> read_host_file(const std::string &path, size_t max) {
    return read_open_file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), max);
}

Result<std::vector<uint8_t>> read_file_at(int folder, const std::string &name, size_t max) {
    return read_open_file(
        openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC), max);
}

} // namespace vekos
