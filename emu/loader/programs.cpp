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

Result<std::vector<uint8_t>> read_host_file(const std::string &path, size_t max) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0) close(fd);
        return Failure{"cannot open"};
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

} // namespace vekos
