// The library's binary interface as tests see it, in one place: the kernel's trap numbers,
// open's, mmap's and waitpid's flags (the library's own lists), the layout and kinds of FILE
// (lib/include/stdio.h) and the heap's size (lib/stdlib/heap_impl.h). Host code can't include
// the guest's stdio.h, so FILE is restated here, once.
#pragma once

#include "abi/open_flags.h"
#include "abi/trap_flags.h"
#include "abi/trap_numbers.h"

#include <cstdint>

namespace library_abi {

// FILE is eleven 32-bit fields, in this order; these are their byte offsets.
namespace file_field {
constexpr uint32_t kind = 0, fd = 4, path = 8, buf = 12, len = 16, cap = 20, out_buf = 24,
                   out_size = 28, error = 32, pos = 36, eof = 40;
} // namespace file_field
constexpr uint32_t kFileFields = 11;

// FILE's kind field.
namespace stream_kind {
constexpr uint32_t fd = 1;        // reads a descriptor; writes only to descriptor 1
constexpr uint32_t memory = 2;    // collects writes in a buffer the caller receives
constexpr uint32_t writefile = 3; // collects writes; fclose stores them as the file
} // namespace stream_kind

// open's flags, numbered as Linux numbers them.
namespace open_flag {
constexpr uint32_t read_only = VEKOS_O_RDONLY, write_only = VEKOS_O_WRONLY,
                   read_write = VEKOS_O_RDWR, create = VEKOS_O_CREAT, truncate = VEKOS_O_TRUNC,
                   append = VEKOS_O_APPEND;
} // namespace open_flag

// mmap's usual protection and flags, and waitpid's no-wait option.
namespace map_flag {
constexpr uint32_t read_write = VEKOS_PROT_READ | VEKOS_PROT_WRITE,
                   private_anonymous = VEKOS_MAP_PRIVATE | VEKOS_MAP_ANONYMOUS;
} // namespace map_flag
constexpr uint32_t kNoHang = VEKOS_WNOHANG;

// The heap is one fixed arena of this many bytes.
constexpr uint32_t kHeapSize = 0x100000;

} // namespace library_abi
