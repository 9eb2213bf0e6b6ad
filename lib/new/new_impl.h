// What the C++ allocation functions share: their standard types, declared here because the
// library sees no C++ headers, and the one way a failed allocation ends. Private to the
// library.
#pragma once

#include <stddef.h>

namespace std {
enum class align_val_t : size_t {};
struct nothrow_t {
    explicit nothrow_t() = default;
};
extern const nothrow_t nothrow;
} // namespace std

namespace vekos {

// Heap memory for new: null only when the heap is out of room.
void *allocate(size_t size);
void *allocate_aligned(size_t size, std::align_val_t alignment);

// There are no exceptions: a new that cannot be satisfied ends the program with a message.
[[noreturn]] void new_failed(size_t size);

} // namespace vekos
