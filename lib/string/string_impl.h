// Helpers shared by the string functions. Private to the library.
#pragma once

#include <stdint.h>

namespace vekos {

// Pointers below the first page are treated as empty strings and never read.
inline bool is_low_pointer(const void *p) {
    return reinterpret_cast<uintptr_t>(p) < 4096;
}

// Bytes compare as unsigned values 0 to 255.
inline int byte_at(const char *p) {
    return static_cast<unsigned char>(*p);
}

inline int fold_case(int byte) {
    return (byte >= 'A' && byte <= 'Z') ? byte + 0x20 : byte;
}

} // namespace vekos
