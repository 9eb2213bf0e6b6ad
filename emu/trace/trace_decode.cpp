#include "trace/trace_decode.h"

#include "abi/open_flags.h"
#include "abi/trap_flags.h"

#include "fs/root_fs.h"

#include <cerrno>
#include <cstdio>
#include <iterator>
#include <span>

namespace vekos {
namespace {

struct FlagName {
    uint32_t value;
    std::string_view name;
};

// The access modes, 3 (refused) included, and the open flags a guest can name beyond them,
// in the order they are shown.
constexpr FlagName kAccessModes[] = {{VEKOS_O_RDONLY, "O_RDONLY"},
                                     {VEKOS_O_WRONLY, "O_WRONLY"},
                                     {VEKOS_O_RDWR, "O_RDWR"},
                                     {VEKOS_O_ACCMODE, "O_ACCMODE"}};
constexpr FlagName kOpenFlags[] = {{VEKOS_O_CREAT, "O_CREAT"},
                                   {VEKOS_O_EXCL, "O_EXCL"},
                                   {VEKOS_O_TRUNC, "O_TRUNC"},
                                   {VEKOS_O_APPEND, "O_APPEND"}};

constexpr FlagName kMapProt[] = {{VEKOS_PROT_READ, "PROT_READ"},
                                 {VEKOS_PROT_WRITE, "PROT_WRITE"},
                                 {VEKOS_PROT_EXEC, "PROT_EXEC"}};
constexpr FlagName kMapFlags[] = {{VEKOS_MAP_SHARED, "MAP_SHARED"},
                                  {VEKOS_MAP_PRIVATE, "MAP_PRIVATE"},
                                  {VEKOS_MAP_FIXED, "MAP_FIXED"},
                                  {VEKOS_MAP_ANONYMOUS, "MAP_ANONYMOUS"}};

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
    {kOutsideRoot, "outside the root"},
};

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// The named bits of `bits` joined by '|', then the rest in hex; `none` when there are none.
std::string describe_bits(uint32_t bits, std::span<const FlagName> names, std::string_view none) {
    std::string text;
    for (const FlagName &flag : names) {
        if (!(bits & flag.value)) continue;
        if (!text.empty()) text += '|';
        text += flag.name;
        bits &= ~flag.value;
    }
    if (bits != 0) text += (text.empty() ? "" : "|") + hex(bits);
    return text.empty() ? std::string(none) : text;
}

} // namespace

std::string describe_open_flags(uint32_t flags) {
    std::string text;
    for (const FlagName &mode : kAccessModes)
        if ((flags & VEKOS_O_ACCMODE) == mode.value) text = mode.name;
    uint32_t rest = flags & ~uint32_t(VEKOS_O_ACCMODE);
    for (const FlagName &flag : kOpenFlags) {
        if (rest & flag.value) {
            text += '|';
            text += flag.name;
            rest &= ~flag.value;
        }
    }
    if (rest != 0) text += '|' + hex(rest);
    return text;
}

std::string describe_map_prot(uint32_t prot) {
    return describe_bits(prot, kMapProt, "PROT_NONE");
}

std::string describe_map_flags(uint32_t flags) {
    return describe_bits(flags, kMapFlags, "0");
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

} // namespace vekos
