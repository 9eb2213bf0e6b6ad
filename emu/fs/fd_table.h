// A process's descriptor table: 0, 1 and 2 are the console; opened files and pipe ends take the
// lowest free number from 3 up. Duplicated descriptors share one open file and its offset, or
// one pipe end.
#pragma once

#include "common/host_fd.h"
#include "common/result.h"
#include "fs/pipe.h"
#include "fs/read_ahead.h"

#include <array>
#include <cstdint>
#include <memory>

namespace vekos {

// A file the guest opened. It owns the host descriptor: the last Descriptor sharing it
// closes it.
struct OpenFile {
    HostFd fd;
    bool readable;
    bool writable;
    ReadAheadBuffer ahead; // read_ahead.h
    OpenFile(HostFd host, bool r, bool w) : fd(std::move(host)), readable(r), writable(w) {}
};

struct Descriptor {
    enum class Kind { Free, Console, File, Pipe } kind = Kind::Free;
    std::shared_ptr<OpenFile> file; // File
    std::shared_ptr<PipeEnd> pipe;  // Pipe
};

class FdTable {
  public:
    static constexpr int32_t kMaxDescriptors = 64;
    static constexpr int32_t kFirstFile = 3;

    FdTable();
    using Number = Result<int32_t, HostError>;
    // The descriptor, or nullptr when fd is out of range or free.
    const Descriptor *get(int32_t fd) const;
    // Lowest free number >= kFirstFile; EMFILE when the table is full (the file is closed).
    Number add(std::shared_ptr<OpenFile> file);
    // The same for a pipe end (the end closes again when the table is full).
    Number add(std::shared_ptr<PipeEnd> end);
    // Some descriptor holds `side` of `pipe`.
    bool holds(const Pipe &pipe, Pipe::Side side) const;
    // 0, or EBADF.
    Number close(int32_t fd);
    // The lowest free number, sharing fd's open file; EBADF or EMFILE.
    Number dup(int32_t fd);
    // `target`, sharing fd's open file (what it held is closed); EBADF.
    Number dup2(int32_t fd, int32_t target);

    // A child's table: its 0, 1 and 2 share this table's stdio[i] (-1: i), and 3 and up are
    // shared too when `inherit`.
    FdTable for_child(const std::array<int32_t, 3> &stdio, bool inherit) const;

  private:
    int32_t lowest_free(int32_t from) const;
    std::array<Descriptor, kMaxDescriptors> slots_;
};

} // namespace vekos
