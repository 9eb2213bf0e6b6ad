#include "loader/programs.h"

#include "common/host_fd.h"
#include "common/retry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

namespace vekos {

std::optional<ProgramKind> program_kind(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || name.find('/', dot) != std::string_view::npos)
        return std::nullopt;
    for (const ProgramExtension &known : kProgramExtensions)
        if (name.substr(dot) == known.extension) return known.kind;
    return std::nullopt;
}

std::optional<ProgramKind> host_program_kind(std::string_view name,
                                             const std::vector<uint8_t> &content) {
    static constexpr uint8_t kElfMagic[] = {0x7f, 'E', 'L', 'F'};
    auto by_name = program_kind(name);
    if (by_name == ProgramKind::Script) return by_name;
    if (content.size() >= sizeof kElfMagic &&
        std::equal(std::begin(kElfMagic), std::end(kElfMagic), content.begin()))
        return ProgramKind::Elf;
    return by_name;
}

namespace {

// The extensions of the images and, unless images_only, of scripts, in the table's order.
std::vector<std::string_view> extensions(bool images_only) {
    std::vector<std::string_view> chosen;
    for (const ProgramExtension &known : kProgramExtensions)
        if (!images_only || known.kind != ProgramKind::Script) chosen.push_back(known.extension);
    return chosen;
}

// Reads an open descriptor whole. Only a regular file will do: the open didn't wait, so a
// FIFO or device swapped in for the program is refused here rather than read from.
Result<std::vector<uint8_t>> read_open_file(HostFd fd, size_t max) {
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0) return Failure{"cannot open"};
    if (!S_ISREG(st.st_mode)) return Failure{"not a regular file"};
    if (uint64_t(st.st_size) > max) return Failure{"file too large"};
    std::vector<uint8_t> bytes(size_t(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = retry_on_eintr(
            [&] { return read(fd.get(), bytes.data() + done, bytes.size() - done); });
        if (n <= 0) break;
        done += size_t(n);
    }
    bytes.resize(done); // a file that shrank meanwhile is read as it now is
    return bytes;
}

} // namespace

std::string not_a_program(bool images_only) {
    std::vector<std::string_view> names = extensions(images_only);
    std::string list;
    for (size_t i = 0; i < names.size(); i++) {
        if (i > 0) list += i + 1 == names.size() ? " or " : ", ";
        list += names[i];
    }
    return "not a program (expected " + list + ")";
}

std::string program_kinds_summary() {
    std::string summary;
    for (std::string_view image : extensions(true)) {
        if (!summary.empty()) summary += ' ';
        summary += image;
    }
    for (const ProgramExtension &known : kProgramExtensions)
        if (known.kind == ProgramKind::Script)
            summary += ", or a " + std::string(known.extension) + " script";
    return summary;
}

Result<std::vector<uint8_t>> read_host_file(const std::string &path, size_t max) {
    return read_open_file(HostFd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)), max);
}

Result<std::vector<uint8_t>> read_file_at(int folder, const std::string &name, size_t max) {
    return read_open_file(
        HostFd(openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)), max);
}

} // namespace vekos
