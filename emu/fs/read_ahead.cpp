#include "fs/read_ahead.h"

#include "common/retry.h"
#include "fs/fd_table.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vekos {
namespace {

constexpr uint32_t kChunk = 16 * 1024;

void identify(OpenFile &file) {
    ReadAheadBuffer &a = file.ahead;
    if (a.identified) return;
    struct stat st;
    if (fstat(file.fd.get(), &st) != 0) return;
    a.device = st.st_dev;
    a.inode = st.st_ino;
    a.identified = true;
}

ssize_t host_read(int fd, uint8_t *out, size_t n) {
    return retry_on_eintr([&] { return ::read(fd, out, n); });
}

} // namespace

// Every file changed: what was remembered of single files says nothing more.
void FileChanges::note_all_changed() {
    all_changed_ = ++changes_;
    file_changed_.clear();
}

void FileChanges::note_written(OpenFile &file) {
    identify(file);
    if (!file.ahead.identified) {
        note_all_changed();
        return;
    }
    file_changed_[{file.ahead.device, file.ahead.inode}] = ++changes_;
}

bool FileChanges::stale(const ReadAheadBuffer &a) const {
    auto changed = file_changed_.find({a.device, a.inode});
    return changed != file_changed_.end() && a.taken < changed->second;
}

Result<bool, HostError> give_back(OpenFile &file) {
    ReadAheadBuffer &a = file.ahead;
    if (a.left() != 0 && ::lseek(file.fd.get(), -off_t(a.left()), SEEK_CUR) < 0)
        return last_host_error();
    a.at = a.end = 0;
    return true;
}

Result<off_t, HostError> guest_offset(OpenFile &file) {
    off_t host = ::lseek(file.fd.get(), 0, SEEK_CUR);
    if (host < 0) return last_host_error();
    return host - off_t(file.ahead.left());
}

Result<uint32_t, HostError> FileChanges::read_through(OpenFile &file, uint8_t *out, uint32_t n) {
    ReadAheadBuffer &a = file.ahead;
    // Most reads find nothing changed since the last open: that costs two compares.
    if (a.left() != 0 && (a.taken < all_changed_ || (!file_changed_.empty() && stale(a)))) {
        auto given = give_back(file);
        if (!given) return given.failure();
    }
    uint32_t done = std::min(n, a.left());
    if (done != 0) std::memcpy(out, a.bytes.get() + a.at, done);
    a.at += done;
    if (done == n) return n;
    // Nothing left ahead. A large read goes straight to the guest's buffer.
    if (n - done >= kChunk) {
        ssize_t got = host_read(file.fd.get(), out + done, n - done);
        if (got < 0) return done ? Result<uint32_t, HostError>(done) : last_host_error();
        return done + uint32_t(got);
    }
    if (!a.bytes) a.bytes = std::make_unique<uint8_t[]>(kChunk);
    identify(file);
    a.taken = changes_;
    ssize_t got = host_read(file.fd.get(), a.bytes.get(), kChunk);
    if (got < 0) return done ? Result<uint32_t, HostError>(done) : last_host_error();
    a.at = 0;
    a.end = uint32_t(got);
    uint32_t more = std::min(n - done, a.end);
    std::memcpy(out + done, a.bytes.get(), more);
    a.at = more;
    return done + more;
}

} // namespace vekos
