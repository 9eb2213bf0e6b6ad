// A host file that vekos-emu writes a report into (--trace-file), opened without waiting: a
// FIFO without a reader would otherwise hold vekos-emu in open() before the run, and its
// --timeout, begin.
#pragma once

#include "common/host_fd.h"
#include "common/result.h"

#include <string>

namespace vekos {

// Opens `path` for writing, created or emptied, in blocking mode once open. Only a regular
// file or a character device (a terminal, /dev/null) will do: a FIFO or socket would stall
// the run, a block device or folder isn't meant. The failure is a reason in words.
Result<HostFd> open_output_file(const std::string &path);

} // namespace vekos
