// Raising the vekos kernel's trap (int 0x80): number in eax, arguments in ebx, ecx, edx,
// esi, edi, ebp; the result comes back in eax. Private to the library: its wrappers
// (fcntl/open.cpp, unistd/*.cpp) trap through these, the six-argument trap through
// unistd/trap6.S. Outside the library, `run` raises its run request itself
// (commands/run/run_uelf.cpp), and the emulator's test programs trap directly
// (tests/emu/guest/start.S).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "internal/kernel_length.h"

namespace vekos {

using Word = uint32_t;

template <typename T> inline Word word(T *pointer) {
    return reinterpret_cast<Word>(pointer);
}

inline int trap(Word number) {
    int result;
    asm volatile("int $0x80" : "=a"(result) : "a"(number) : "memory");
    return result;
}

inline int trap(Word number, Word a) {
    int result;
    asm volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a) : "memory");
    return result;
}

inline int trap(Word number, Word a, Word b) {
    int result;
    asm volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b) : "memory");
    return result;
}

inline int trap(Word number, Word a, Word b, Word c) {
    int result;
    asm volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b), "d"(c) : "memory");
    return result;
}

} // namespace vekos

// Six-argument trap; ebp cannot be named in inline assembly, so this one is in unistd/trap6.S.
extern "C" int vekos_trap6(vekos::Word number, vekos::Word a, vekos::Word b, vekos::Word c,
                           vekos::Word d, vekos::Word e, vekos::Word f);
