// Guest loads and stores straight through the engine's window (machine/guest_window.h), as
// QEMU's user-mode emulation makes them: one host instruction each, where Unicorn 2.0.1's
// translated code looks each one up in the TLB first (11 host instructions on the way that
// hits, a call on the way that misses).
//
// Translating: once QEMU's optimizer is done with a block (narrow_ops.cpp's pass), a qemu_ld
// or qemu_st op of the user mode, little-endian, without alignment check, whose address is
// known to be zero-extended from 32 bits, becomes the host load or store of the same width
// and extension at that address, with the window's base as its displacement (a window above
// 2 GiB is added to the address first: two host instructions more). The op table
// (each context has its own copy) then marks those host ops as having side effects, as
// qemu_ld and qemu_st have: the guest registers are in the CPU state before each access, so a
// fault there finds them, and an access whose value goes unread is still made, so that it
// still faults. The CPU state's own loads and stores, made by the same ops, only give up a
// few register moves for it.
//
// Faulting: the window has every page the guest may access with the guest's permissions
// and nothing else, so an access the guest may not make faults on the host as well. The
// SIGSEGV handler takes a fault inside the window from a translated block of the run under
// way on this thread, restores the guest's state at the accessing instruction, and makes
// Unicorn's own access there (one byte, a load or a store as the host saw it): that calls
// the engine's fault hook and leaves the block as any failed access does
// (precise_faults.cpp), with the address of the first byte the guest may not reach. Every
// other fault goes on to the handler installed before: the host's own, and one in the window
// at an access the guest may make, which only a window out of step with the guest's memory
// gives (Unicorn's access would meet the same host page).
//
// Linked only against 2.0.1 (VEKOS_UNICORN_TWEAKS), x86-64 hosts only.
#include "machine/guest_window.h"
#include "machine/unicorn/internals.h"
#include "machine/unicorn/tcg_ops.h"
#include "machine/unicorn/tweaks.h"

#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <utility>

struct MemoryRegion;
struct TCGTemp;

extern "C" {
MemoryRegion *memory_mapping(uc_engine *uc, uint64_t address);
bool cpu_restore_state_x86_64(CPUState *cpu, uintptr_t host_pc, bool will_exit);
uint64_t __wrap_helper_ret_ldub_mmu_x86_64(void *env, uint64_t addr, uint32_t oi, uintptr_t ra);
void __wrap_helper_ret_stb_mmu_x86_64(void *env, uint64_t addr, uint8_t value, uint32_t oi,
                                      uintptr_t ra);
TCGTemp *tcg_temp_new_internal_x86_64(TCGContext *s, int type, bool local);
void tcg_temp_free_internal_x86_64(TCGContext *s, TCGTemp *temp);
vekos::unicorn::TcgOp *tcg_op_insert_before_x86_64(TCGContext *s, vekos::unicorn::TcgOp *op,
                                                   int opc);
uc_err __real_uc_emu_start(uc_engine *uc, uint64_t begin, uint64_t until, uint64_t timeout,
                           size_t count);
}

namespace {

using namespace vekos::unicorn;

struct Window {
    uintptr_t base = 0;
    std::atomic<bool> direct{false};
};

std::mutex windows_lock;
// Nodes stay put: a run holds on to its engine's window.
auto &windows = *new std::unordered_map<uc_engine *, Window>;

std::atomic<size_t> direct_count{0};

// The run under way on this thread (uc_emu_start).
struct Run {
    uc_engine *uc = nullptr;
    CPUState *cpu = nullptr;
    Window *window = nullptr;
};
thread_local Run current;

// A host return address, as cpu_restore_state expects it, from the faulting instruction's.
constexpr uintptr_t kGetpcAdjust = 2;

struct sigaction previous_action;

// The guest ops of a qemu_ld or qemu_st op with this memop, by size; kDiscard where none.
Opcode direct_form(uint8_t opc, uintptr_t memop) {
    const bool sign = memop & kMemSigned;
    const size_t size = memop & kMemSizeMask;
    static constexpr Opcode kLoads64[2][4] = {{kLd8uI64, kLd16uI64, kLd32uI64, kLdI64},
                                              {kLd8sI64, kLd16sI64, kLd32sI64, kLdI64}};
    static constexpr Opcode kLoads32[2][4] = {{kLd8uI32, kLd16uI32, kLdI32, kDiscard},
                                              {kLd8sI32, kLd16sI32, kLdI32, kDiscard}};
    static constexpr Opcode kStores64[4] = {kSt8I64, kSt16I64, kSt32I64, kStI64};
    static constexpr Opcode kStores32[4] = {kSt8I32, kSt16I32, kStI32, kDiscard};
    switch (opc) {
    case kQemuLdI64:
        return kLoads64[sign][size];
    case kQemuLdI32:
        return kLoads32[sign][size];
    case kQemuStI64:
        return kStores64[size];
    case kQemuStI32:
        return kStores32[size];
    default:
        return kDiscard;
    }
}

bool guest_may(uc_engine *uc, uint64_t address, bool write) {
    MemoryRegion *region = memory_mapping(uc, address);
    return region != nullptr &&
           (field<uint32_t>(region, kRegionPermsOffset) & (write ? UC_PROT_WRITE : UC_PROT_READ));
}

// Unicorn's access of the guest's, from the accessing instruction (`ra`), which leaves the
// block, unless the guest may make it.
void fail_as_unicorn_would(const Run &run, uint64_t address, bool write, uintptr_t ra) {
    if (guest_may(run.uc, address, write)) return;
    void *env = env_of(run.cpu);
    const uint32_t oi = kUserMmuIndex; // one byte (MO_UB)
    if (write)
        __wrap_helper_ret_stb_mmu_x86_64(env, address, 0, oi, ra);
    else
        __wrap_helper_ret_ldub_mmu_x86_64(env, address, oi, ra);
}

void pass_on(int signal, siginfo_t *info, void *context) {
    if (previous_action.sa_flags & SA_SIGINFO) {
        previous_action.sa_sigaction(signal, info, context);
    } else if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
        previous_action.sa_handler(signal);
    } else {
        // The fault comes again on return and ends the process as it would have.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigaction(signal, &fallback, nullptr);
    }
}

void on_host_fault(int signal, siginfo_t *info, void *context) {
#if defined(__x86_64__)
    const Run &run = current;
    const auto host = reinterpret_cast<uintptr_t>(info->si_addr);
    if (run.window != nullptr && run.cpu != nullptr &&
        host - run.window->base < vekos::GuestWindow::kBytes) {
        const auto &registers = static_cast<ucontext_t *>(context)->uc_mcontext.gregs;
        const uintptr_t ra = uintptr_t(registers[REG_RIP]) + kGetpcAdjust;
        const bool write = registers[REG_ERR] & 2; // the page-fault error code's W/R bit
        if (cpu_restore_state_x86_64(run.cpu, ra, true))
            fail_as_unicorn_would(run, host - run.window->base, write, ra);
    }
#endif
    pass_on(signal, info, context);
}

// SA_ONSTACK: a fault of the host's own stack still reaches the handler before.
void take_host_faults() {
    struct sigaction action {};
    action.sa_sigaction = &on_host_fault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &previous_action);
}

} // namespace

extern "C" uc_err __wrap_uc_emu_start(uc_engine *uc, uint64_t begin, uint64_t until,
                                      uint64_t timeout, size_t count) {
    Run run{uc, cpu_of(uc), nullptr};
    {
        std::lock_guard lock(windows_lock);
        if (auto found = windows.find(uc); found != windows.end()) run.window = &found->second;
    }
    struct Restore {
        Run outer;
        ~Restore() { current = outer; } // however the run ends
    } restore{std::exchange(current, run)};
    return __real_uc_emu_start(uc, begin, until, timeout, count);
}

namespace vekos::unicorn {

bool register_window(uc_engine *uc, uint8_t *window) {
#if defined(__x86_64__)
    static std::once_flag installed;
    if (window == nullptr) {
        std::lock_guard lock(windows_lock);
        windows.erase(uc);
        return true;
    }
    if (cpu_of(uc) == nullptr) return false;
    std::call_once(installed, take_host_faults);
    std::lock_guard lock(windows_lock);
    windows[uc].base = reinterpret_cast<uintptr_t>(window);
    return true;
#else
    (void)uc;
    (void)window;
    return false;
#endif
}

void address_directly(uc_engine *uc, bool on) {
    std::lock_guard lock(windows_lock);
    if (auto found = windows.find(uc); found != windows.end()) found->second.direct = on;
}

// Blocks are translated inside a run, on its thread.
uintptr_t direct_window(TCGContext *tcg_ctx) {
    const Run &run = current;
    if (run.window == nullptr || field<uc_engine *>(tcg_ctx, kTcgUcOffset) != run.uc) return 0;
    return run.window->direct ? run.window->base : 0;
}

bool access_directly(TCGContext *s, TcgOp *op, TcgOpDef *defs, uintptr_t window) {
    const uintptr_t oi = op->args[2], memop = oi >> 4;
    if ((oi & 15) != uintptr_t(kUserMmuIndex) || (memop & (kMemSwapped | kMemAlignMask)))
        return false;
    const Opcode form = direct_form(op->opc, memop);
    if (form == kDiscard) return false;
    uintptr_t displacement = window;
    if (window > INT32_MAX) {
        // A temp of the block's, free again at once: each access sets it right before.
        constexpr int kTypeI64 = 1;
        TCGTemp *temp = tcg_temp_new_internal_x86_64(s, kTypeI64, false);
        const auto at = reinterpret_cast<uintptr_t>(temp);
        TcgOp *base = tcg_op_insert_before_x86_64(s, op, kMoviI64);
        base->args[0] = at;
        base->args[1] = window;
        TcgOp *sum = tcg_op_insert_before_x86_64(s, op, kAddI64);
        sum->args[0] = sum->args[1] = at;
        sum->args[2] = op->args[1];
        op->args[1] = at;
        displacement = 0;
        tcg_temp_free_internal_x86_64(s, temp);
    }
    op->opc = form;
    op->args[2] = displacement;
    defs[form].flags |= kOpSideEffects;
    direct_count.fetch_add(1, std::memory_order_relaxed);
    return true;
}

size_t direct_accesses() {
    return direct_count.load(std::memory_order_relaxed);
}

} // namespace vekos::unicorn
