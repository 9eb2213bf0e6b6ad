// Memory and streamed-file traps: mmap, munmap, vekfs_stream_begin, _write, _end.
#include "abi/trap_flags.h"
#include "fs/fd_table.h"
#include "fs/stream_files.h"
#include "kernel/mappings.h"
#include "kernel/trap_handlers.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

namespace vekos {
namespace {

constexpr uint32_t kKnownProt = VEKOS_PROT_READ | VEKOS_PROT_WRITE | VEKOS_PROT_EXEC;
constexpr uint32_t kKnownFlags = VEKOS_MAP_PRIVATE | VEKOS_MAP_ANONYMOUS;
constexpr uint32_t kCopyChunk = 64 << 10;

// Guest protection as the memory's: execute counts as read (code runs from the image only),
// and i386 pages that can be written can be read.
uint32_t memory_prot(uint32_t prot) {
    uint32_t bits = 0;
    if (prot & (VEKOS_PROT_READ | VEKOS_PROT_EXEC)) bits |= kProtRead;
    if (prot & VEKOS_PROT_WRITE) bits |= kProtRead | kProtWrite;
    return bits;
}

// The file's bytes from `offset` into the new mapping at `at`; what lies past the end of the
// file stays zero.
std::optional<HostError> copy_file(GuestMemory &memory, int fd, uint32_t offset, uint32_t at,
                                   uint32_t size) {
    std::vector<uint8_t> chunk(std::min(size, kCopyChunk));
    for (uint32_t done = 0; done < size;) {
        const size_t want = std::min<size_t>(chunk.size(), size - done);
        ssize_t n = retry_on_eintr(
            [&] { return ::pread(fd, chunk.data(), want, off_t(uint64_t(offset) + done)); });
        if (n < 0) return last_host_error();
        if (n == 0) break;
        memory.poke(at + done, chunk.data(), uint32_t(n));
        done += uint32_t(n);
    }
    return std::nullopt;
}

} // namespace

// mmap(addr, length, prot, flags, fd, offset): private memory only, at an address of the
// kernel's choosing (addr is a hint); MAP_FIXED and MAP_SHARED are refused.
TrapResult trap_mmap(TrapCall &t) {
    const uint32_t hint = t.args[0], length = t.args[1], prot = t.args[2], flags = t.args[3];
    const int32_t fd = i32(t.args[4]);
    const uint32_t offset = t.args[5];
    if ((prot & ~kKnownProt) != 0 || (flags & ~kKnownFlags) != 0 || !(flags & VEKOS_MAP_PRIVATE))
        return fail(EINVAL);
    if (length == 0 || length > kMaxMappedBytes || offset % kPageSize != 0) return fail(EINVAL);
    const bool anonymous = flags & VEKOS_MAP_ANONYMOUS;
    if (anonymous && (fd != -1 || offset != 0)) return fail(EINVAL);
    const Descriptor *file = anonymous ? nullptr : t.context.fds.get(fd);
    if (!anonymous && file == nullptr) return fail(EBADF);
    if (file != nullptr && file->kind != Descriptor::Kind::File) return fail(ENODEV);
    if (file != nullptr && !file->file->readable) return fail(EACCES);
    const uint32_t size = (length + kPageSize - 1) & ~(kPageSize - 1);
    auto at = t.context.mappings.map(hint, size, memory_prot(prot));
    if (!at) return at.failure();
    if (file != nullptr) {
        if (auto why = copy_file(t.context.memory, file->file->fd.get(), offset, *at, size)) {
            t.context.mappings.unmap(*at, size);
            return *why;
        }
    }
    return i32(*at);
}

void replay_mmap(std::array<uint32_t, 6> &args, int32_t) {
    args[3] |= VEKOS_MAP_ANONYMOUS;
    args[4] = uint32_t(-1);
    args[5] = 0;
}

// munmap(addr, length): whole pages of mappings only, never the image or the stack.
TrapResult trap_munmap(TrapCall &t) {
    const uint32_t length = t.args[1];
    if (length == 0 || length > kMappingLimit - kMappingBase) return fail(EINVAL);
    return t.context.mappings.unmap(t.args[0], (length + kPageSize - 1) & ~(kPageSize - 1));
}

// The path is checked now, so that a bad one fails before any content is sent.
TrapResult trap_stream_begin(TrapCall &t) {
    auto place = guest_place(t, 0, RootFs::Final::Follow);
    if (!place) return place.failure();
    return t.context.streams.begin(std::move(*place));
}

TrapResult trap_stream_write(TrapCall &t) {
    if (i32(t.args[2]) < 0) return fail(EINVAL);
    const uint8_t *bytes = t.context.memory.view(t.args[1], t.args[2], kProtRead);
    std::optional<std::vector<uint8_t>> copy;
    if (bytes == nullptr && t.args[2] != 0) {
        copy = t.context.memory.read_bytes(t.args[1], t.args[2]);
        if (!copy) return bad_address();
        bytes = copy->data();
    }
    return t.context.streams.write(i32(t.args[0]), {bytes, t.args[2]});
}

TrapResult trap_stream_end(TrapCall &t) {
    return t.context.streams.end(i32(t.args[0]), t.context.fs.options().unnamed_temp_files);
}

} // namespace vekos
