// What a debugger needs of the engine: a watch before each instruction, every register gdb
// shows, and dropping translations of code changed behind the CPU.
#include "machine/engine.h"
#include "machine/uc_check.h"

#include <cstring>
#include <iterator>

namespace vekos {
namespace {

// Unicorn's registers in gdb's i386 order.
constexpr int kDebugRegs[] = {
    UC_X86_REG_EAX,  UC_X86_REG_ECX,   UC_X86_REG_EDX, UC_X86_REG_EBX, UC_X86_REG_ESP,
    UC_X86_REG_EBP,  UC_X86_REG_ESI,   UC_X86_REG_EDI, UC_X86_REG_EIP, UC_X86_REG_EFLAGS,
    UC_X86_REG_CS,   UC_X86_REG_SS,    UC_X86_REG_DS,  UC_X86_REG_ES,  UC_X86_REG_FS,
    UC_X86_REG_GS,   UC_X86_REG_ST0,   UC_X86_REG_ST1, UC_X86_REG_ST2, UC_X86_REG_ST3,
    UC_X86_REG_ST4,  UC_X86_REG_ST5,   UC_X86_REG_ST6, UC_X86_REG_ST7, UC_X86_REG_FPCW,
    UC_X86_REG_FPSW, UC_X86_REG_FPTAG, UC_X86_REG_FCS, UC_X86_REG_FIP, UC_X86_REG_FDS,
    UC_X86_REG_FDP,  UC_X86_REG_FOP,
};
static_assert(std::size(kDebugRegs) == Engine::kDebugRegCount);

constexpr int kFirstSegment = 10, kFirstSt = 16, kLastSt = 23;

size_t debug_reg_size(int number) {
    return number >= kFirstSt && number <= kLastSt ? 10 : 4;
}

} // namespace

void Engine::set_watch(InstructionWatch *watch) {
    if (watch != nullptr && watch_hook_ == 0)
        check(uc_hook_add(uc_, &watch_hook_, UC_HOOK_CODE, reinterpret_cast<void *>(&on_watched),
                          this, 1, 0),
              "watch hook");
    if (watch == nullptr && watch_hook_ != 0) {
        uc_hook_del(uc_, watch_hook_);
        watch_hook_ = 0;
    }
    watch_ = watch;
    // Code translated before the change calls the hook, or not, as it was then.
    forget_attached_code();
}

void Engine::forget_attached_code() {
    if (attached_ == nullptr) return;
    for (const Region &r : attached_->regions())
        if (r.prot & kProtExec) forget_code(r.base, r.end());
}

void Engine::forget_code(uint32_t begin, uint64_t end) {
    if (end > begin) uc_ctl_remove_cache(uc_, uint64_t(begin), end);
}

void Engine::on_watched(uc_engine *uc, uint64_t addr, uint32_t, void *self) {
    auto *engine = static_cast<Engine *>(self);
    if (engine->watch_ != nullptr && engine->watch_->stop_before(uint32_t(addr))) {
        engine->watch_hit_ = true;
        uc_emu_stop(uc);
    }
}

bool Engine::read_debug_reg(int number, std::span<uint8_t> out) const {
    if (number < 0 || number >= kDebugRegCount || out.size() != debug_reg_size(number))
        return false;
    uint8_t value[16] = {}; // Unicorn writes up to 10 bytes for st(i), 4 or 2 for the rest
    if (uc_reg_read(uc_, kDebugRegs[number], value) != UC_ERR_OK) return false;
    std::memcpy(out.data(), value, out.size());
    return true;
}

// Segment registers stay as the loader set them: a wrong selector would fault the CPU.
bool Engine::write_debug_reg(int number, std::span<const uint8_t> in) {
    if (number < 0 || number >= kDebugRegCount || in.size() != debug_reg_size(number) ||
        (number >= kFirstSegment && number < kFirstSt))
        return false;
    uint8_t value[16] = {};
    std::memcpy(value, in.data(), in.size());
    return uc_reg_write(uc_, kDebugRegs[number], value) == UC_ERR_OK;
}

} // namespace vekos
