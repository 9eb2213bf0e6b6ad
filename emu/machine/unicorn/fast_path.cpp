// Two costs of Unicorn 2.0.1's translated code that QEMU's own user-mode emulation doesn't pay,
// removed where the engine can do without them:
//
//   An exit check after every guest load and store. Unicorn emits one (check_exit_request:
//   a load of the CPU's exit request and a branch, 3 host instructions) so that a memory hook
//   calling uc_emu_stop stops right after the access. The engine's memory hooks never stop a
//   run: a watched access only notes it (the stop waits for the next instruction's code hook),
//   and a failed access leaves its block by itself (precise_faults.cpp). So while an engine has
//   no hook on valid accesses, blocks are translated with uc_struct::no_exit_request set, which
//   check_exit_request obeys; the check at each block's start, which uc_emu_stop from another
//   thread relies on, is emitted elsewhere and stays. The checks after code hooks stay too:
//   those come from the x86 translator (another object file), through the wrap below, which
//   emits them whatever the flag says.
//
//   A TLB too small for the data a loop walks. Each CPU mode's TLB starts with 256 entries and
//   is resized only when it is flushed, which a running program seldom causes: a heap sort of
//   1 MiB met a TLB miss (a call into the slow path and a refill) on most of its accesses. The
//   user mode's TLB starts with kUserTlbEntries instead. A flush still grows it when it is
//   more than 70% used, but would shrink it to what the last 100 ms used once they are over
//   (the window of QEMU's resizing): its window is kept from ever ending, so it never shrinks.
//
// Offsets are those of Debian's build (read off check_exit_request, tlb_init and
// tlb_mmu_resize_locked): the TLB's per-mode state sits before the CPU state (CPUNegativeOffset
// State): CPUTLBDesc d[3] then CPUTLBDescFast f[3]. Linked only against 2.0.1
// (VEKOS_UNICORN_TWEAKS).
#include "machine/unicorn/internals.h"
#include "machine/unicorn/tweaks.h"

#include <cstdint>
#include <cstring>

namespace {

using vekos::unicorn::cpu_of;
using vekos::unicorn::env_of;
using vekos::unicorn::field;
using vekos::unicorn::kTcgUcOffset;
using vekos::unicorn::kUserMmuIndex;
using vekos::unicorn::kUserTlbEntries;

constexpr size_t kUcNoExitRequestOffset = 0x78a; // uc_struct::no_exit_request
constexpr size_t kCpuEnvPtrOffset = 0x128;       // CPUState::env_ptr
constexpr ptrdiff_t kTlbDescOffset = -0x570;     // CPUTLBDesc d[0], from the CPU state
constexpr size_t kTlbDescSize = 0x1b8;
constexpr size_t kDescWindowOffset = 0x10;  // CPUTLBDesc::window_begin_ns
constexpr size_t kDescIotlbOffset = 0x1b0;  // CPUTLBDesc::iotlb
constexpr ptrdiff_t kTlbFastOffset = -0x40; // CPUTLBDescFast f[0]: mask, table
constexpr size_t kTlbFastSize = 0x10;
constexpr size_t kTlbEntryBytes = 32;   // CPUTLBEntry
constexpr size_t kIotlbEntryBytes = 16; // CPUIOTLBEntry

constexpr int64_t kWindowNeverEnds = INT64_MAX / 2;

char *at(void *base, ptrdiff_t offset) {
    return static_cast<char *>(base) + offset;
}

char *user_tlb_desc(void *env) {
    return at(env, kTlbDescOffset + ptrdiff_t(kTlbDescSize) * kUserMmuIndex);
}

bool env_ptr_agrees(CPUState *cpu) {
    return field<void *>(cpu, kCpuEnvPtrOffset) == env_of(cpu);
}

} // namespace

extern "C" {
void *g_malloc(size_t bytes);
void g_free(void *pointer);
void __real_tlb_init_x86_64(CPUState *cpu);
void __real_check_exit_request_x86_64(TCGContext *tcg_ctx);

// Entries are filled as tlb_init fills them: the table with -1 (no page), the rest zero.
void __wrap_tlb_init_x86_64(CPUState *cpu) {
    __real_tlb_init_x86_64(cpu);
    if (!env_ptr_agrees(cpu)) return;
    void *env = env_of(cpu);
    char *desc = user_tlb_desc(env);
    char *fast = at(env, kTlbFastOffset + ptrdiff_t(kTlbFastSize) * kUserMmuIndex);
    auto *table = static_cast<char *>(g_malloc(kUserTlbEntries * kTlbEntryBytes));
    auto *iotlb = static_cast<char *>(g_malloc(kUserTlbEntries * kIotlbEntryBytes));
    std::memset(table, -1, kUserTlbEntries * kTlbEntryBytes);
    std::memset(iotlb, 0, kUserTlbEntries * kIotlbEntryBytes);
    g_free(field<void *>(fast, 8));
    g_free(field<void *>(desc, kDescIotlbOffset));
    field<uintptr_t>(fast, 0) = (kUserTlbEntries - 1) * kTlbEntryBytes;
    field<void *>(fast, 8) = table;
    field<void *>(desc, kDescIotlbOffset) = iotlb;
    field<int64_t>(desc, kDescWindowOffset) = kWindowNeverEnds;
}

// After a code hook: the hook may stop the run, so the check is emitted regardless.
void __wrap_check_exit_request_x86_64(TCGContext *tcg_ctx) {
    auto *uc = field<uc_engine *>(tcg_ctx, kTcgUcOffset);
    bool &skip = field<bool>(uc, kUcNoExitRequestOffset);
    bool saved = skip;
    skip = false;
    __real_check_exit_request_x86_64(tcg_ctx);
    skip = saved;
}
}

namespace vekos::unicorn {

void prepare_translation(uc_engine *uc) {
    field<bool>(uc, kUcNoExitRequestOffset) = !has_access_hooks(uc);
    // A flush that grew the TLB started a new window.
    if (CPUState *cpu = cpu_of(uc); cpu && env_ptr_agrees(cpu))
        field<int64_t>(user_tlb_desc(env_of(cpu)), kDescWindowOffset) = kWindowNeverEnds;
}

} // namespace vekos::unicorn
