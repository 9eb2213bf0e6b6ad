#include "trace/trace_decode.h"

#include <cerrno>
#include <cstdio>
#include <iterator>

namespace vekos::debug {
namespace {

struct FlagName {
    uint32_t bit;
    std::string_view name;
};

// The open flags a guest can name, beyond the access mode, in the order they are shown.
constexpr FlagName kOpenFlags[] = {
    {0x40, "O_CREAT"}, {0x80, "O_EXCL"}, {0x200, "O_TRUNC"}, {0x400, "O_APPEND"}};
constexpr std::string_view kAccessModes[] = {"O_RDONLY", "O_WRONLY", "O_RDWR", "O_ACCMODE"};

constexpr std::string_view kWhence[] = {"SEEK_SET", "SEEK_CUR", "SEEK_END"};

struct ErrnoText {
    int number;
    std::string_view text;
};

constexpr ErrnoText kErrnoTexts[] = {
    {EPERM, "not permitted"},
    {ENOENT, "no such file"},
    {EIO, "input/output error"},
    {EBADF, "bad descriptor"},
    {EAGAIN, "try again"},
    {ENOMEM, "out of memory"},
    {EACCES, "permission denied"},
    {EFAULT, "bad address"},
    {EBUSY, "busy"},
    {EEXIST, "file exists"},
    {EXDEV, "crosses file systems"},
    {ENOTDIR, "not a folder"},
    {EISDIR, "is a folder"},
    {EINVAL, "invalid argument"},
    {ENFILE, "too many open files in the system"},
    {EMFILE, "too many open files"},
    {EFBIG, "file too large"},
    {ENOSPC, "no space left"},
    {ESPIPE, "cannot seek"},
    {EROFS, "read-only file system"},
    {EMLINK, "too many links"},
    {EPIPE, "broken pipe"},
    {ERANGE, "out of range"},
    {ENAMETOOLONG, "name too long"},
    {ENOSYS, "not implemented"},
    {ENOTEMPTY, "folder not empty"},
    {ELOOP, "too many symbolic links"},
    {EOVERFLOW, "value too large"},
    {ETXTBSY, "text file busy"},
    {ENOEXEC, "not an executable"},
    {ECHILD, "no child"},
};

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

} // namespace

std::string describe_open_flags(uint32_t flags) {
    std::string text(kAccessModes[flags & 3]);
    uint32_t rest = flags & ~3u;
    for (const FlagName &flag : kOpenFlags) {
        if (rest & flag.bit) {
            text += '|';
            text += flag.name;
            rest &= ~flag.bit;
        }
    }
    if (rest != 0) text += '|' + hex(rest);
    return text;
}

std::string describe_whence(int32_t whence) {
    if (whence >= 0 && size_t(whence) < std::size(kWhence)) return std::string(kWhence[whence]);
    return std::to_string(whence);
}

std::string describe_errno(int host_errno) {
    for (const ErrnoText &row : kErrnoTexts)
        if (row.number == host_errno) return std::string(row.text);
    return "error " + std::to_string(host_errno);
}

} // namespace vekos::debug
