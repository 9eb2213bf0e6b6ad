// The engine's tweaks of Unicorn 2.0.1's CPU state (unicorn_tweaks.h says what and why).
#include "machine/unicorn_internals.h"
#include "machine/unicorn_tweaks.h"

extern "C" {
void tb_flush_x86_64(CPUState *cpu);
size_t tcg_code_size_x86_64(TCGContext *tcg_ctx);
}

namespace vekos::unicorn {

// QEMU's do_interrupt does this once an exception is delivered.
void exception_delivered(uc_engine *uc) {
    if (CPUState *cpu = cpu_of(uc)) field<int>(env_of(cpu), kEnvOldExceptionOffset) = -1;
}

size_t translated_bytes(uc_engine *uc) {
    auto *tcg_ctx = field<TCGContext *>(uc, kUcTcgCtxOffset);
    return cpu_of(uc) && tcg_ctx ? tcg_code_size_x86_64(tcg_ctx) : 0;
}

void flush_translations(uc_engine *uc) {
    if (CPUState *cpu = cpu_of(uc)) tb_flush_x86_64(cpu);
}

} // namespace vekos::unicorn
