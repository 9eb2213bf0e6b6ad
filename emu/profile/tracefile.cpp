#include "profile/tracefile.h"

#include "common/retry.h"
#include "fs/replace_file.h"
#include "host/output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace vekos::profile {
namespace {

Failure too_large() {
    return {"larger than " + std::to_string(kMaxTracefileBytes >> 20) +
            " MiB, the most a tracefile may hold"};
}

// The whole file, up to kMaxTracefileBytes.
Result<std::string> read_tracefile(int fd) {
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = retry_on_eintr([&] { return ::read(fd, buffer, sizeof buffer); });
        if (n < 0) return Failure{std::strerror(errno)};
        if (n == 0) return text;
        if (text.size() + size_t(n) > kMaxTracefileBytes) return too_large();
        text.append(buffer, size_t(n));
    }
}

// Read from an open tracefile: its records, or why it isn't one to merge into.
Result<Coverage> read_coverage(int fd, bool &saturated) {
    struct stat st;
    if (fstat(fd, &st) != 0) return Failure{std::strerror(errno)};
    if (uint64_t(st.st_size) > kMaxTracefileBytes) return too_large();
    auto text = read_tracefile(fd);
    if (!text) return Failure{text.error()};
    return parse_lcov(*text, saturated);
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The tracefile at `path`, open and locked while it is still the one there: another run's
// merge may have renamed its new file over the one this run waited for.
Result<HostFd> lock_tracefile(const std::string &path) {
    const auto deadline = std::chrono::steady_clock::now() + kTracefileLockWait;
    std::chrono::milliseconds pause(1);
    for (;;) {
        auto opened = open_regular_file(path, O_RDONLY | O_CREAT);
        if (!opened) return opened;
        while (flock(opened->get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) return Failure{std::strerror(errno)};
            if (std::chrono::steady_clock::now() >= deadline)
                return Failure{"still locked by another run after " +
                               std::to_string(kTracefileLockWait.count()) + " seconds"};
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::milliseconds(50));
        }
        struct stat held, named;
        if (fstat(opened->get(), &held) != 0) return Failure{std::strerror(errno)};
        if (stat(path.c_str(), &named) == 0 && same_file(held, named)) return opened;
        if (std::chrono::steady_clock::now() >= deadline) return Failure{"replaced meanwhile"};
    }
}

} // namespace

std::string tracefile_path(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return path + "/vekos-" + std::to_string(getpid()) + ".info";
    return path;
}

std::optional<std::string> tracefile_refused(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? std::nullopt : std::optional<std::string>(std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return std::nullopt;
    auto opened = open_regular_file(path, O_RDONLY);
    if (!opened) return opened.error();
    bool saturated = false;
    auto coverage = read_coverage(opened->get(), saturated);
    if (!coverage) return coverage.error();
    return std::nullopt;
}

Result<Merged> save_lcov(const std::string &file, const Coverage &coverage,
                         std::string_view test_name) {
    auto held = lock_tracefile(file);
    if (!held) return Failure{held.error()};
    Merged merged;
    auto old = read_coverage(held->get(), merged.saturated);
    if (!old) return Failure{old.error()};
    merged.saturated |= merge(*old, coverage);
    if (auto why = replace_host_file(file, format_lcov(*old, test_name))) return Failure{*why};
    return merged; // the lock goes with `held`, once the new file is in place
}

} // namespace vekos::profile
