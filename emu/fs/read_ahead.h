// Read-ahead for guest reads of host files. The library reads a byte per trap (fgetc), so reads
// are served from a chunk read ahead, one system call per chunk. The guest sees exactly what
// unbuffered reads would give: its offset (lseek, a write through the same open file) is the
// host's minus what is read ahead, and read-ahead is dropped once its file may have changed: a
// write to the same host file through any descriptor, or a trap that may change any file
// (open, writefile, run).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>

namespace vekos {

struct OpenFile;

struct ReadAhead {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t at = 0, end = 0; // [at, end) not yet read by the guest
    uint64_t taken = 0;       // the change count when it was read
    dev_t device = 0;         // the host file, once known
    ino_t inode = 0;
    bool identified = false;
    uint32_t left() const { return end - at; }
};

// Before a trap that may change files (by number); a write to an open file notes itself.
void note_trap_for_read_ahead(uint32_t trap_number);
void note_file_written(OpenFile &file);

// Reads up to n bytes as read(2) would; -1 on failure.
ssize_t read_through(OpenFile &file, uint8_t *out, uint32_t n);
// Gives bytes read ahead back to the host file, so that its offset is the guest's again.
// False when the host refuses (the read-ahead is kept then).
bool give_back(OpenFile &file);
// The guest's offset without giving anything back (lseek(fd, 0, SEEK_CUR)); -1 on failure.
off_t guest_offset(OpenFile &file);

} // namespace vekos
