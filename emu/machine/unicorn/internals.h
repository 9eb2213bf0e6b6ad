// Fields of Unicorn 2.0.1's structures that the CPU tweaks read or write, at the offsets of
// Debian's build (read off its code: uc_struct::cpu as uc_emu_stop reads it, CPUState::uc as
// translator_loop does, the CPU state behind the CPUState as raise_interrupt2 reaches it,
// CPUX86State::old_exception as its double-fault check reads it, uc_struct::tcg_ctx,
// nested_level and addr_end[] as translator_loop reads them, uc_struct::invalid_error as
// load_helper sets it). Only linked against 2.0.1
// (VEKOS_UNICORN_TWEAKS). An engine whose uc and cpu don't point at each other is left alone.
#pragma once

#include <unicorn/unicorn.h>

#include <cstddef>
#include <cstdint>

struct CPUState;
struct TCGContext;

namespace vekos::unicorn {

constexpr size_t kUcCpuOffset = 0x180;            // uc_struct::cpu
constexpr size_t kUcTcgCtxOffset = 0x2c0;         // uc_struct::tcg_ctx
constexpr size_t kUcInvalidErrorOffset = 0x530;   // uc_struct::invalid_error
constexpr size_t kUcAddrEndOffset = 0x538;        // uc_struct::addr_end[], per nesting level
constexpr size_t kUcNestedLevelOffset = 0x3990;   // uc_struct::nested_level
constexpr size_t kCpuUcOffset = 0x81a8;           // CPUState::uc (X86CPU)
constexpr size_t kCpuEnvOffset = 0x8750;          // X86CPU::env from the CPUState
constexpr size_t kEnvOldExceptionOffset = 0x1558; // CPUX86State::old_exception
constexpr size_t kTcgUcOffset = 0x9970;           // TCGContext::uc
constexpr size_t kRegionPermsOffset = 0x88;       // MemoryRegion::perms, UC_PROT_* bits
constexpr int kUserMmuIndex = 1;                  // MMU_USER_IDX: code running at CPL 3

template <class T> T &field(void *object, size_t offset) {
    return *reinterpret_cast<T *>(static_cast<char *>(object) + offset);
}

inline CPUState *cpu_of(uc_engine *uc) {
    auto *cpu = field<CPUState *>(uc, kUcCpuOffset);
    return cpu && field<uc_engine *>(cpu, kCpuUcOffset) == uc ? cpu : nullptr;
}

inline uc_engine *engine_of(CPUState *cpu) {
    auto *uc = field<uc_engine *>(cpu, kCpuUcOffset);
    return uc && field<CPUState *>(uc, kUcCpuOffset) == cpu ? uc : nullptr;
}

// CPUX86State, the argument of QEMU's helpers.
inline void *env_of(CPUState *cpu) {
    return reinterpret_cast<char *>(cpu) + kCpuEnvOffset;
}

// The address uc_emu_start was told to stop at, in the run under way.
inline uint64_t stop_address(uc_engine *uc) {
    int level = field<int>(uc, kUcNestedLevelOffset);
    return level > 0 ? field<uint64_t>(uc, kUcAddrEndOffset + 8 * size_t(level - 1)) : 0;
}

// True once the engine has had a hook on valid memory accesses (machine/unicorn/dirty_pages.cpp).
bool has_access_hooks(uc_engine *uc);
// Before a block is translated: whether its loads and stores are followed by an exit check,
// and the user TLB kept from shrinking (machine/unicorn/fast_path.cpp).
void prepare_translation(uc_engine *uc);

// Stops the run when the translation buffer nears full (machine/unicorn/cpu_state.cpp).
void request_flush_if_full(uc_engine *uc);

// The window's base while blocks of the engine translating with `tcg_ctx` address guest
// memory directly, else 0 (direct_access.cpp); and one such access made of a qemu_ld or
// qemu_st op whose address is known to fit in 32 bits (false: it stays as it was).
uintptr_t direct_window(TCGContext *tcg_ctx);
struct TcgOp;
struct TcgOpDef;
bool access_directly(TCGContext *s, TcgOp *op, TcgOpDef *defs, uintptr_t window);

// A page entered the CPU's TLB (tlb_flushes.cpp): its next flush must be done.
void tlb_filled(CPUState *cpu);

} // namespace vekos::unicorn
