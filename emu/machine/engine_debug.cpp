// What a debugger needs of the engine: a watch before each instruction, every register gdb
// shows, and dropping translations of code changed behind the CPU. Watched data accesses are
// in engine_watch.cpp.
#include "machine/engine.h"
#include "machine/uc_check.h"

#include <cstring>
#include <iterator>
#include <utility>

namespace vekos {
namespace {

struct DebugReg {
    std::string_view name;
    int unicorn;
    uint8_t bytes = 4;
    // Segment registers stay as the loader set them: a wrong selector would fault the CPU.
    bool writable = true;
};

constexpr DebugReg kDebugRegs[] = {
    {"eax", UC_X86_REG_EAX},         {"ebx", UC_X86_REG_EBX},
    {"ecx", UC_X86_REG_ECX},         {"edx", UC_X86_REG_EDX},
    {"esi", UC_X86_REG_ESI},         {"edi", UC_X86_REG_EDI},
    {"ebp", UC_X86_REG_EBP},         {"esp", UC_X86_REG_ESP},
    {"eip", UC_X86_REG_EIP},         {"eflags", UC_X86_REG_EFLAGS},
    {"cs", UC_X86_REG_CS, 4, false}, {"ss", UC_X86_REG_SS, 4, false},
    {"ds", UC_X86_REG_DS, 4, false}, {"es", UC_X86_REG_ES, 4, false},
    {"fs", UC_X86_REG_FS, 4, false}, {"gs", UC_X86_REG_GS, 4, false},
    {"st0", UC_X86_REG_ST0, 10},     {"st1", UC_X86_REG_ST1, 10},
    {"st2", UC_X86_REG_ST2, 10},     {"st3", UC_X86_REG_ST3, 10},
    {"st4", UC_X86_REG_ST4, 10},     {"st5", UC_X86_REG_ST5, 10},
    {"st6", UC_X86_REG_ST6, 10},     {"st7", UC_X86_REG_ST7, 10},
    {"fctrl", UC_X86_REG_FPCW},      {"fstat", UC_X86_REG_FPSW},
    {"ftag", UC_X86_REG_FPTAG},      {"fiseg", UC_X86_REG_FCS},
    {"fioff", UC_X86_REG_FIP},       {"foseg", UC_X86_REG_FDS},
    {"fooff", UC_X86_REG_FDP},       {"fop", UC_X86_REG_FOP},
};
constexpr int kDebugRegCount = int(std::size(kDebugRegs));

} // namespace

void Engine::set_watch(InstructionWatch *watch) {
    watch_ = watch;
    hook_instructions();
    // Code translated before the change calls the hook, or not, as it was then.
    forget_attached_code();
}

void Engine::hook_instructions() {
    bool wanted = watch_ != nullptr || !access_hooks_.empty();
    if (wanted && watch_hook_ == 0)
        check(uc_hook_add(uc_, &watch_hook_, UC_HOOK_CODE, reinterpret_cast<void *>(&on_watched),
                          this, 1, 0),
              "watch hook");
    if (!wanted && watch_hook_ != 0) {
        uc_hook_del(uc_, watch_hook_);
        watch_hook_ = 0;
    }
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
    if (std::exchange(engine->access_stop_, false) ||
        (engine->watch_ != nullptr && engine->watch_->stop_before(uint32_t(addr)))) {
        engine->watch_hit_ = true;
        uc_emu_stop(uc);
    }
}

int Engine::debug_reg_index(std::string_view name) {
    for (int i = 0; i < kDebugRegCount; i++)
        if (kDebugRegs[i].name == name) return i;
    return -1;
}

size_t Engine::debug_reg_size(int index) {
    return index >= 0 && index < kDebugRegCount ? kDebugRegs[index].bytes : 0;
}

bool Engine::read_debug_reg(int index, std::span<uint8_t> out) const {
    if (debug_reg_size(index) == 0 || out.size() != debug_reg_size(index)) return false;
    uint8_t value[16] = {}; // Unicorn writes up to 10 bytes for st(i), 4 or 2 for the rest
    if (uc_reg_read(uc_, kDebugRegs[index].unicorn, value) != UC_ERR_OK) return false;
    std::memcpy(out.data(), value, out.size());
    return true;
}

bool Engine::write_debug_reg(int index, std::span<const uint8_t> in) {
    if (debug_reg_size(index) == 0 || in.size() != debug_reg_size(index) ||
        !kDebugRegs[index].writable)
        return false;
    uint8_t value[16] = {};
    std::memcpy(value, in.data(), in.size());
    return uc_reg_write(uc_, kDebugRegs[index].unicorn, value) == UC_ERR_OK;
}

} // namespace vekos
