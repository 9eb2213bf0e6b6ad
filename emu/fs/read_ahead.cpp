#include "fs/read_ahead.h"

#include "abi/trap_numbers.h"
#include "fs/fd_table.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

namespace vekos {
namespace {

constexpr uint32_t kChunk = 16 * 1024;

// Changes are counted: read-ahead taken before the last change to its file (or to all files)
// is stale.
uint64_t g_changes = 0;
uint64_t g_all_changed = 0;
std::map<std::pair<dev_t, ino_t>, uint64_t> g_file_changed;

void identify(OpenFile &file) {
    ReadAhead &a = file.ahead;
    if (a.identified) return;
    struct stat st;
    if (fstat(file.host_fd, &st) != 0) return;
    a.device = st.st_dev;
    a.inode = st.st_ino;
    a.identified = true;
}

bool stale(const ReadAhead &a) {
    if (a.taken < g_all_changed) return true;
    auto changed = g_file_changed.find({a.device, a.inode});
    return changed != g_file_changed.end() && a.taken < changed->second;
}

ssize_t host_read(int fd, uint8_t *out, size_t n) {
    ssize_t got;
    do got = ::read(fd, out, n);
    while (got < 0 && errno == EINTR);
    return got;
}

} // namespace

void note_trap_for_read_ahead(uint32_t trap_number) {
    if (trap_number == VEKOS_TRAP_OPEN || trap_number == VEKOS_TRAP_WRITEFILE ||
        trap_number == VEKOS_TRAP_RUN)
        g_all_changed = ++g_changes;
}

void note_file_written(OpenFile &file) {
    identify(file);
    if (!file.ahead.identified) {
        g_all_changed = ++g_changes;
        return;
    }
    g_file_changed[{file.ahead.device, file.ahead.inode}] = ++g_changes;
}

bool give_back(OpenFile &file) {
    ReadAhead &a = file.ahead;
    if (a.left() != 0 && ::lseek(file.host_fd, -off_t(a.left()), SEEK_CUR) < 0) return false;
    a.at = a.end = 0;
    return true;
}

off_t guest_offset(OpenFile &file) {
    off_t host = ::lseek(file.host_fd, 0, SEEK_CUR);
    return host < 0 ? host : host - off_t(file.ahead.left());
}

ssize_t read_through(OpenFile &file, uint8_t *out, uint32_t n) {
    ReadAhead &a = file.ahead;
    if (a.left() != 0 && stale(a) && !give_back(file)) return -1;
    uint32_t done = std::min(n, a.left());
    if (done != 0) std::memcpy(out, a.bytes.get() + a.at, done);
    a.at += done;
    if (done == n) return n;
    // Nothing left ahead. A large read goes straight to the guest's buffer.
    if (n - done >= kChunk) {
        ssize_t got = host_read(file.host_fd, out + done, n - done);
        return got < 0 ? (done ? done : -1) : done + got;
    }
    if (!a.bytes) a.bytes = std::make_unique<uint8_t[]>(kChunk);
    identify(file);
    a.taken = g_changes;
    ssize_t got = host_read(file.host_fd, a.bytes.get(), kChunk);
    if (got < 0) return done ? done : -1;
    a.at = 0;
    a.end = uint32_t(got);
    uint32_t more = std::min(n - done, a.end);
    std::memcpy(out + done, a.bytes.get(), more);
    a.at = more;
    return done + more;
}

} // namespace vekos
