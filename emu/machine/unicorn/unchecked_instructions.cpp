// Instructions that Unicorn 2.0.1 translates without the checks of a CPU running user code,
// made to fault as they do there:
//   ff /3 and ff /5 with a register operand (far call or jump through a register: no such
//     instruction) abort the host inside the translator (a TCG fatal error): invalid
//     instruction, as later releases fix it;
//   in, out, ins, outs run as if the guest could reach ports, sysenter as a no-op: a user
//     program has no I/O permission and no SYSENTER_CS, so general protection;
//   syscall runs as a no-op: an i386 CPU has no such instruction, so invalid instruction.
//
// translator_loop, which --wrap reaches from gen_intermediate_code (another object file), is
// given a copy of the x86 translator's hooks whose translate_insn looks at each instruction
// first. Such an instruction starting a block raises its exception right away (as a code
// fetch fault does, at the block's address, which is the guest's eip); later in a block, the
// block ends before it, so the next one starts with it. The layouts of TranslatorOps and
// DisasContextBase are QEMU 5.0's, as Unicorn 2.0.1 uses them (VEKOS_UNICORN_TWEAKS only).
// The wrap is also where the translation buffer is watched (request_flush_if_full) and where
// the fast path to memory is set up (prepare_translation).
#include "machine/unicorn/internals.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

struct TranslationBlock;

namespace {

using vekos::unicorn::engine_of;
using vekos::unicorn::env_of;
using vekos::unicorn::stop_address;

struct DisasContextBase {
    TranslationBlock *tb;
    uint64_t pc_first;
    uint64_t pc_next;
    int is_jmp;
    int num_insns;
    int max_insns;
    bool singlestep_enabled;
};
constexpr int kDisasTooMany = 1; // DISAS_TOO_MANY: the block ends at pc_next

using TranslateHook = void (*)(DisasContextBase *, CPUState *);
struct TranslatorOps {
    TranslateHook init_disas_context;
    TranslateHook tb_start;
    TranslateHook insn_start;
    bool (*breakpoint_check)(DisasContextBase *, CPUState *, const void *);
    TranslateHook translate_insn;
    TranslateHook tb_stop;
    void (*disas_log)(const DisasContextBase *, CPUState *);
};

constexpr int kInvalidOpcode = 6;
constexpr int kGeneralProtection = 13;
constexpr int kMaxInstructionBytes = 15;

thread_local TranslateHook real_translate_insn = nullptr;

// Segment overrides, operand and address size, lock, rep.
bool is_prefix(uint8_t byte) {
    constexpr uint8_t kPrefixes[] = {0x26, 0x2e, 0x36, 0x3e, 0x64, 0x65,
                                     0x66, 0x67, 0xf0, 0xf2, 0xf3};
    return std::find(std::begin(kPrefixes), std::end(kPrefixes), byte) != std::end(kPrefixes);
}

// ins, outs (6c-6f); in, out with a port number (e4-e7) or through dx (ec-ef).
bool is_port_io(uint8_t byte) {
    return (byte >= 0x6c && byte <= 0x6f) || (byte >= 0xe4 && byte <= 0xe7) ||
           (byte >= 0xec && byte <= 0xef);
}

// The exception the instruction at `pc` must raise, or 0. Bytes that can't be read are left
// for the translator to fault on.
int unchecked_exception(uc_engine *uc, uint64_t pc) {
    uint8_t byte = 0;
    auto next = [&] { return uc_mem_read(uc, pc++, &byte, 1) == UC_ERR_OK; };
    int length = 0;
    do {
        if (++length > kMaxInstructionBytes || !next()) return 0;
    } while (is_prefix(byte));
    if (is_port_io(byte)) return kGeneralProtection;
    switch (byte) {
    case 0x0f:
        if (!next()) return 0;
        return byte == 0x34 ? kGeneralProtection : byte == 0x05 ? kInvalidOpcode : 0;
    case 0xff: {
        if (!next()) return 0;
        int mod = byte >> 6, reg = (byte >> 3) & 7;
        return mod == 3 && (reg == 3 || reg == 5) ? kInvalidOpcode : 0;
    }
    default:
        return 0;
    }
}

} // namespace

extern "C" {
void __real_translator_loop_x86_64(const TranslatorOps *ops, DisasContextBase *db, CPUState *cpu,
                                   TranslationBlock *tb, int max_insns);
[[noreturn]] void helper_raise_exception_x86_64(void *env, int exception_index);

static void checked_translate_insn(DisasContextBase *db, CPUState *cpu) {
    uc_engine *uc = engine_of(cpu);
    // The stop address is never run: the translator makes it the end of the run.
    if (uc && db->pc_next != stop_address(uc)) {
        if (int exception = unchecked_exception(uc, db->pc_next)) {
            if (db->pc_next == db->pc_first) helper_raise_exception_x86_64(env_of(cpu), exception);
            db->is_jmp = kDisasTooMany;
            return;
        }
    }
    real_translate_insn(db, cpu);
}

void __wrap_translator_loop_x86_64(const TranslatorOps *ops, DisasContextBase *db, CPUState *cpu,
                                   TranslationBlock *tb, int max_insns) {
    if (uc_engine *uc = engine_of(cpu)) {
        vekos::unicorn::request_flush_if_full(uc);
        vekos::unicorn::prepare_translation(uc);
    }
    TranslatorOps checked = *ops;
    real_translate_insn = ops->translate_insn;
    checked.translate_insn = &checked_translate_insn;
    __real_translator_loop_x86_64(&checked, db, cpu, tb, max_insns);
}
}
