#include "kernel/console.h"

#include <unistd.h>

#include <cerrno>

namespace vekos {

constexpr size_t kFlushAt = 64 * 1024;

void HostConsole::write(const uint8_t *data, size_t n) {
    pending_.append(reinterpret_cast<const char *>(data), n);
    if (pending_.size() >= kFlushAt) flush();
}

int32_t HostConsole::read(uint8_t *out, size_t n) {
    flush(); // a prompt must be visible before we wait for the answer
    ssize_t got;
    do got = ::read(0, out, n);
    while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : int32_t(got);
}

void HostConsole::flush() {
    size_t done = 0;
    while (done < pending_.size()) {
        ssize_t n = ::write(1, pending_.data() + done, pending_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // a closed stdout loses the output, as a closed terminal would
        done += size_t(n);
    }
    pending_.clear();
}

} // namespace vekos
