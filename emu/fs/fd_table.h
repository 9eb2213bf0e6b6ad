// A process's descriptor table: 0, 1 and 2 are the console; opened files take the lowest free
// number from 3 up. Duplicated descriptors share one open file and its offset.
#pragma once

#include "common/host_fd.h"
#include "fs/read_ahead.h"

#include <array>
#include <cstdint>
#include <memory>

namespace vekos {

// A file the guest opened. It owns the host descriptor: the last Descriptor sharing it
// closes it.
struct OpenFile {
    HostFd owner;
    const int host_fd; // owner's descriptor, for the host calls
    bool readable;
    bool writable;
    ReadAhead ahead; // read_ahead.h
    OpenFile(int fd, bool r, bool w) : owner(fd), host_fd(fd), readable(r), writable(w) {}
};

struct Descriptor {
    enum class Kind { Free, Console, File } kind = Kind::Free;
    std::shared_ptr<OpenFile> file;
};

class FdTable {
  public:
    static constexpr int32_t kMaxDescriptors = 64;
    static constexpr int32_t kFirstFile = 3;

    FdTable();
    // The descriptor, or nullptr when fd is out of range or free.
    const Descriptor *get(int32_t fd) const;
    // Lowest free number >= kFirstFile, or -1 when the table is full.
    int32_t add(std::shared_ptr<OpenFile> file);
    int32_t close(int32_t fd);
    int32_t dup(int32_t fd);
    int32_t dup2(int32_t fd, int32_t target);

  private:
    int32_t lowest_free(int32_t from) const;
    std::array<Descriptor, kMaxDescriptors> slots_;
};

} // namespace vekos
