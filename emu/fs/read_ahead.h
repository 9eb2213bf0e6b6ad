// Read-ahead for guest reads of host files. The library reads a byte per trap (fgetc), so reads
// are served from a chunk read ahead, one system call per chunk. The guest sees exactly what
// unbuffered reads would give: its offset (lseek, a write through the same open file) is the
// host's minus what is read ahead, and read-ahead is dropped once its file may have changed: a
// write to the same host file through any descriptor, or a trap that may change any file
// (a row with kChangesFiles). The kernel keeps one FileChanges for all of its processes.
#pragma once

#include "common/result.h"

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <utility>

namespace vekos {

struct OpenFile;

// An open file's chunk read ahead.
struct ReadAheadBuffer {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t at = 0, end = 0; // [at, end) not yet read by the guest
    uint64_t taken = 0;       // the change count when it was read
    dev_t device = 0;         // the host file, once known
    ino_t inode = 0;
    bool identified = false;
    uint32_t left() const { return end - at; }
};

// Changes are counted: read-ahead taken before the last change to its file, or to all files,
// is stale. A change to all files forgets the single ones, so no more files are remembered
// than were written since the last open (which counts as a change to all).
class FileChanges {
  public:
    // Before a trap that may change any file.
    void note_all_changed();
    // After a write to `file`.
    void note_written(OpenFile &file);

    // Reads up to n bytes as read(2) would.
    Result<uint32_t, HostError> read_through(OpenFile &file, uint8_t *out, uint32_t n);

  private:
    // Changed since it was read, as far as single files go.
    bool stale(const ReadAheadBuffer &ahead) const;

    uint64_t changes_ = 0;
    uint64_t all_changed_ = 0;
    std::map<std::pair<dev_t, ino_t>, uint64_t> file_changed_;
};

// Gives bytes read ahead back to the host file, so that its offset is the guest's again.
// Fails when the host refuses (the read-ahead is kept then).
Result<bool, HostError> give_back(OpenFile &file);
// The guest's offset without giving anything back (lseek(fd, 0, SEEK_CUR)).
Result<off_t, HostError> guest_offset(OpenFile &file);

} // namespace vekos
