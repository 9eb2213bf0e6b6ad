// The engine's tweaks of Unicorn 2.0.1's CPU state (machine/unicorn/tweaks.h says what and why).
#include "machine/unicorn/internals.h"
#include "machine/unicorn/tweaks.h"
#include "testing/test_hooks.h"

#include <atomic>

namespace {
std::atomic<size_t> g_buffer_bytes{vekos::unicorn::kTranslationBuffer};
}

extern "C" {
void tb_flush_x86_64(CPUState *cpu);
size_t tcg_code_size_x86_64(TCGContext *tcg_ctx);
size_t tcg_code_capacity_x86_64(TCGContext *tcg_ctx);
void __real_tcg_exec_init_x86_64(uc_engine *uc, unsigned long tb_size);

// Unicorn 2.0.1 clears the whole translation buffer at each flush, making all of it resident:
// 1 GiB by default. The engine flushes between processes long before a smaller one fills.
void __wrap_tcg_exec_init_x86_64(uc_engine *uc, unsigned long tb_size) {
    __real_tcg_exec_init_x86_64(uc, tb_size != 0 ? tb_size : g_buffer_bytes.load());
}
}

namespace vekos::unicorn {

bool corrections_linked() {
    return true;
}

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

namespace {
thread_local uc_engine *flush_requested = nullptr;

size_t capacity(uc_engine *uc) {
    return tcg_code_capacity_x86_64(field<TCGContext *>(uc, kUcTcgCtxOffset));
}
} // namespace

// Called as each block is translated (machine/unicorn/unchecked_instructions.cpp). Unicorn's own
// flush of a full buffer, inside a run, leaves its page tables broken: the next invalidation
// crashes. A flush between runs is sound.
void request_flush_if_full(uc_engine *uc) {
    if (flush_requested != uc && translated_bytes(uc) > capacity(uc) / 4 * 3) {
        flush_requested = uc;
        uc_emu_stop(uc);
    }
}

bool take_flush_request(uc_engine *uc) {
    if (flush_requested != uc) return false;
    flush_requested = nullptr;
    return true;
}

} // namespace vekos::unicorn

size_t vekos::unicorn::exchange_translation_buffer(size_t bytes) {
    return g_buffer_bytes.exchange(bytes);
}

void vekos::TestHooks::set_translation_buffer(size_t bytes) {
    g_buffer_bytes = bytes;
}
