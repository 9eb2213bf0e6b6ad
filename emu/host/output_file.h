// Host files that vekos-emu writes reports into (--trace-file, --coverage, --profile), opened
// without waiting: a FIFO without a reader would otherwise hold vekos-emu in open() before
// the run, and its --timeout, begin; a FIFO or device read from would never end.
#pragma once

#include "common/host_fd.h"
#include "common/result.h"

#include <optional>
#include <string>

namespace vekos {

// Opens `path` for writing, created or emptied, in blocking mode once open. Only a regular
// file or a character device (a terminal, /dev/null) will do: a FIFO or socket would stall
// the run, a block device or folder isn't meant. The failure is a reason in words.
Result<HostFd> open_output_file(const std::string &path);

// Opens `path` with `flags` (O_RDONLY, O_CREAT...) in the same way, in blocking mode once
// open; only a regular file will do.
Result<HostFd> open_regular_file(const std::string &path, int flags);

// Why `path` can't be a report written whole (a new file renamed over it): it is there and
// isn't a regular file (links followed). nullopt when it is one, or isn't there yet.
std::optional<std::string> not_a_regular_file(const std::string &path);

} // namespace vekos
