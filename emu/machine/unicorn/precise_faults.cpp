// Guest loads and stores that fault stop at their own instruction, with the registers as they
// were before it, as QEMU's page faults do.
//
// Unicorn 2.0.1's memory helpers meet an unmapped or protected address thus: the memory hook
// runs, uc->invalid_error is set, then a load leaves the translated block (cpu_loop_exit) and a
// store returns as if done, so the rest of the block runs on. Either way the CPU is left as at
// the block's start: eip names its first instruction, not the faulting one. The helpers are
// given the host address they return to (`retaddr`), from which QEMU restores the state of the
// guest instruction being run (cpu_restore_state). The wraps below do that:
//   helper_*_mmu             what translated code calls when an access misses the TLB (an
//                            access that hits it, the fast path, calls nothing);
//   cpu_*_data_ra, *_mmuidx_ra  what helpers written in C (x87, segments, bound) call;
//     each notes its retaddr while it runs; when the access failed and the helper returns, the
//     block is left at the faulting instruction (cpu_loop_exit_restore);
//   cpu_loop_exit            a failed load leaves through it: the noted state is restored first;
//   cpu_loop_exit_noexc, cpu_loop_exit_restore, cpu_loop_exit_atomic  the other ways out of
//                            a block, which forget the note (a store into the running block
//                            leaves by one of them, from inside a helper).
// Every way out of a block goes through one of the four exits, and every access that can set
// a memory error through a wrapped helper, so a note never outlives its access.
// Linked only against 2.0.1 (VEKOS_UNICORN_TWEAKS); the names are its x86 build's.
#include "machine/unicorn/internals.h"
#include "machine/unicorn/tweaks.h"

#include <cstdint>
#include <type_traits>
#include <utility>

namespace {

using vekos::unicorn::engine_of;
using vekos::unicorn::field;
using vekos::unicorn::kCpuEnvOffset;
using vekos::unicorn::kUcInvalidErrorOffset;

// The host return address of the access under way on this thread, or 0.
thread_local uintptr_t access_retaddr = 0;
// Accesses on this thread that took the slow path (vekos::unicorn::slow_accesses).
thread_local size_t slow_access_count = 0;

CPUState *cpu_of_env(void *env) {
    return reinterpret_cast<CPUState *>(static_cast<char *>(env) - kCpuEnvOffset);
}

// Only data accesses set these; a fetch's errors come from translating, outside any helper.
bool access_failed(CPUState *cpu) {
    uc_engine *uc = engine_of(cpu);
    if (uc == nullptr) return false;
    switch (field<uc_err>(uc, kUcInvalidErrorOffset)) {
    case UC_ERR_READ_UNMAPPED:
    case UC_ERR_WRITE_UNMAPPED:
    case UC_ERR_READ_PROT:
    case UC_ERR_WRITE_PROT:
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" {
bool cpu_restore_state_x86_64(CPUState *cpu, uintptr_t host_pc, bool will_exit);
[[noreturn]] void __real_cpu_loop_exit_x86_64(CPUState *cpu);
[[noreturn]] void __real_cpu_loop_exit_noexc_x86_64(CPUState *cpu);
[[noreturn]] void __real_cpu_loop_exit_restore_x86_64(CPUState *cpu, uintptr_t host_pc);
[[noreturn]] void __real_cpu_loop_exit_atomic_x86_64(CPUState *cpu, uintptr_t host_pc);

[[noreturn]] void __wrap_cpu_loop_exit_x86_64(CPUState *cpu) {
    uintptr_t retaddr = std::exchange(access_retaddr, 0);
    if (retaddr != 0 && access_failed(cpu)) cpu_restore_state_x86_64(cpu, retaddr, true);
    __real_cpu_loop_exit_x86_64(cpu);
}

[[noreturn]] void __wrap_cpu_loop_exit_noexc_x86_64(CPUState *cpu) {
    access_retaddr = 0;
    __real_cpu_loop_exit_noexc_x86_64(cpu);
}

[[noreturn]] void __wrap_cpu_loop_exit_restore_x86_64(CPUState *cpu, uintptr_t host_pc) {
    access_retaddr = 0;
    __real_cpu_loop_exit_restore_x86_64(cpu, host_pc);
}

[[noreturn]] void __wrap_cpu_loop_exit_atomic_x86_64(CPUState *cpu, uintptr_t host_pc) {
    access_retaddr = 0;
    __real_cpu_loop_exit_atomic_x86_64(cpu, host_pc);
}
}

namespace {

void leave_if_failed(void *env, uintptr_t retaddr) {
    CPUState *cpu = cpu_of_env(env);
    if (access_failed(cpu)) __real_cpu_loop_exit_restore_x86_64(cpu, retaddr);
}

// Runs one access with its retaddr noted; a failed access that returned leaves the block at
// its instruction. Nothing here needs destroying: the access may leave by longjmp.
template <class Result, class Access> Result checked(void *env, uintptr_t retaddr, Access access) {
    uintptr_t outer = std::exchange(access_retaddr, retaddr);
    slow_access_count++;
    if constexpr (std::is_void_v<Result>) {
        access();
        access_retaddr = outer;
        leave_if_failed(env, retaddr);
    } else {
        Result value = access();
        access_retaddr = outer;
        leave_if_failed(env, retaddr);
        return value;
    }
}

} // namespace

// One wrap per helper, by the helper's parameters after env (abi_ptr and target_ulong are
// 64 bits wide in the x86 build; `ra` is the retaddr).
#define VEKOS_WRAP(Result, name, Params, Args)                                                     \
    Result __real_##name##_x86_64 Params;                                                          \
    Result __wrap_##name##_x86_64 Params {                                                         \
        return checked<Result>(env, ra, [&] { return __real_##name##_x86_64 Args; });              \
    }
// Translated code's: helper_*_ld*_mmu(env, addr, oi, ra), helper_*_st*_mmu(env, addr, value,
// oi, ra).
#define VEKOS_TCG_LOAD(name)                                                                       \
    VEKOS_WRAP(uint64_t, name, (void *env, uint64_t addr, uint32_t oi, uintptr_t ra),              \
               (env, addr, oi, ra))
#define VEKOS_TCG_STORE(Value, name)                                                               \
    VEKOS_WRAP(void, name, (void *env, uint64_t addr, Value value, uint32_t oi, uintptr_t ra),     \
               (env, addr, value, oi, ra))
// C helpers': cpu_ld*_data_ra(env, ptr, ra), cpu_st*_data_ra(env, ptr, value, ra) and the
// same with an mmu_idx before ra.
#define VEKOS_DATA_LOAD(Result, name)                                                              \
    VEKOS_WRAP(Result, name, (void *env, uint64_t ptr, uintptr_t ra), (env, ptr, ra))
#define VEKOS_DATA_STORE(Value, name)                                                              \
    VEKOS_WRAP(void, name, (void *env, uint64_t ptr, Value value, uintptr_t ra),                   \
               (env, ptr, value, ra))
#define VEKOS_INDEXED_LOAD(Result, name)                                                           \
    VEKOS_WRAP(Result, name, (void *env, uint64_t ptr, int mmu_idx, uintptr_t ra),                 \
               (env, ptr, mmu_idx, ra))
#define VEKOS_INDEXED_STORE(Value, name)                                                           \
    VEKOS_WRAP(void, name, (void *env, uint64_t ptr, Value value, int mmu_idx, uintptr_t ra),      \
               (env, ptr, value, mmu_idx, ra))

extern "C" {
VEKOS_TCG_LOAD(helper_ret_ldub_mmu)
VEKOS_TCG_LOAD(helper_le_lduw_mmu)
VEKOS_TCG_LOAD(helper_le_ldul_mmu)
VEKOS_TCG_LOAD(helper_le_ldq_mmu)
VEKOS_TCG_STORE(uint8_t, helper_ret_stb_mmu)
VEKOS_TCG_STORE(uint16_t, helper_le_stw_mmu)
VEKOS_TCG_STORE(uint32_t, helper_le_stl_mmu)
VEKOS_TCG_STORE(uint64_t, helper_le_stq_mmu)

VEKOS_DATA_LOAD(uint32_t, cpu_ldub_data_ra)
VEKOS_DATA_LOAD(uint32_t, cpu_lduw_data_ra)
VEKOS_DATA_LOAD(int, cpu_ldsw_data_ra)
VEKOS_DATA_LOAD(uint32_t, cpu_ldl_data_ra)
VEKOS_DATA_LOAD(uint64_t, cpu_ldq_data_ra)
VEKOS_DATA_STORE(uint32_t, cpu_stb_data_ra)
VEKOS_DATA_STORE(uint32_t, cpu_stw_data_ra)
VEKOS_DATA_STORE(uint32_t, cpu_stl_data_ra)
VEKOS_DATA_STORE(uint64_t, cpu_stq_data_ra)

VEKOS_INDEXED_LOAD(uint32_t, cpu_ldub_mmuidx_ra)
VEKOS_INDEXED_LOAD(uint32_t, cpu_lduw_mmuidx_ra)
VEKOS_INDEXED_LOAD(uint32_t, cpu_ldl_mmuidx_ra)
VEKOS_INDEXED_LOAD(uint64_t, cpu_ldq_mmuidx_ra)
VEKOS_INDEXED_STORE(uint32_t, cpu_stb_mmuidx_ra)
VEKOS_INDEXED_STORE(uint32_t, cpu_stw_mmuidx_ra)
VEKOS_INDEXED_STORE(uint32_t, cpu_stl_mmuidx_ra)
VEKOS_INDEXED_STORE(uint64_t, cpu_stq_mmuidx_ra)
}

size_t vekos::unicorn::slow_accesses() {
    return slow_access_count;
}
