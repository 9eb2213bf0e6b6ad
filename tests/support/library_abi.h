// The library's binary interface as tests see it, in one place: the kernel's trap numbers
// (the library's own list), the layout and kinds of FILE (lib/include/stdio.h), open's flags
// (lib/include/fcntl.h) and the heap's size (lib/stdlib/heap_impl.h). Host code can't include the
// guest's stdio.h or fcntl.h, so those two are restated here, once.
#pragma once

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
constexpr uint32_t read_only = 0, write_only = 1, read_write = 2, create = 0x40, truncate = 0x200,
                   append = 0x400;
} // namespace open_flag

// The heap is one fixed arena of this many bytes.
constexpr uint32_t kHeapSize = 0x100000;

} // namespace library_abi
