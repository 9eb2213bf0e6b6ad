#include "engine.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace vekos {
namespace {

constexpr uint32_t kTrapVector = 0x80;

void check(uc_err err, const char *what) {
    if (err != UC_ERR_OK) throw std::runtime_error(std::string(what) + ": " + uc_strerror(err));
}

const char *exception_name(uint32_t vector) {
    switch (vector) {
    case 1:
        return "debug exception";
    case 3:
        return "breakpoint";
    case 4:
        return "overflow";
    case 5:
        return "bound range exceeded";
    case 7:
        return "x87 not available";
    case 10:
        return "invalid TSS";
    case 11:
        return "segment not present";
    case 12:
        return "stack segment fault";
    case 14:
        return "page fault";
    case 16:
        return "x87 floating-point error";
    case 17:
        return "alignment check";
    default:
        return nullptr;
    }
}

} // namespace

std::string describe_fault(const Fault &f) {
    char text[128];
    const char *access = nullptr;
    switch (f.kind) {
    case FaultKind::ReadUnmapped:
        access = "read of unmapped address";
        break;
    case FaultKind::WriteUnmapped:
        access = "write to unmapped address";
        break;
    case FaultKind::FetchUnmapped:
        access = "execution of unmapped address";
        break;
    case FaultKind::ReadProtected:
        access = "read of unreadable address";
        break;
    case FaultKind::WriteProtected:
        access = "write to read-only address";
        break;
    case FaultKind::FetchProtected:
        access = "execution of non-executable address";
        break;
    case FaultKind::InvalidInstruction:
        std::snprintf(text, sizeof text, "invalid instruction at 0x%08x", f.eip);
        return text;
    case FaultKind::DivideError:
        std::snprintf(text, sizeof text, "division error at 0x%08x", f.eip);
        return text;
    case FaultKind::GeneralProtection:
        std::snprintf(text, sizeof text, "general protection fault at 0x%08x", f.eip);
        return text;
    case FaultKind::Exception:
        if (const char *name = exception_name(f.vector))
            std::snprintf(text, sizeof text, "%s at 0x%08x", name, f.eip);
        else if (f.vector >= 32) // only `int n` raises these
            std::snprintf(text, sizeof text, "interrupt 0x%x at 0x%08x", f.vector, f.eip);
        else
            std::snprintf(text, sizeof text, "CPU exception %u at 0x%08x", f.vector, f.eip);
        return text;
    }
    std::snprintf(text, sizeof text, "%s 0x%08x at 0x%08x", access, f.address, f.eip);
    return text;
}

Engine::Engine() {
    check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "uc_open");
    uc_hook hook;
    check(
        uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void *>(&on_interrupt), this, 1, 0),
        "interrupt hook");
    check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(&on_memory_fault),
                      this, 1, 0),
          "memory hook");
    check(uc_hook_add(uc_, &hook, UC_HOOK_INSN_INVALID,
                      reinterpret_cast<void *>(&on_invalid_instruction), this, 1, 0),
          "instruction hook");
}

Engine::~Engine() {
    uc_close(uc_);
    if (attached_ == nullptr) // else the attached memory owns the pages and frees them
        for (size_t i = slots_.size(); i-- > 0;) unmap(i, true);
}

uint32_t Engine::reg(int id) const {
    uint32_t value = 0;
    uc_reg_read(uc_, id, &value);
    return value;
}

void Engine::set_reg(int id, uint32_t value) {
    uc_reg_write(uc_, id, &value);
}

std::array<uint8_t, 10> Engine::st0() const {
    uint8_t value[16] = {}; // Unicorn stores 10 bytes; room to spare
    uc_reg_read(uc_, UC_X86_REG_ST0, value);
    std::array<uint8_t, 10> bytes;
    std::memcpy(bytes.data(), value, 10);
    return bytes;
}

void Engine::empty_fpu_stack() {
    set_reg(UC_X86_REG_FPSW, 0);       // top of stack back at 0, no exceptions pending
    set_reg(UC_X86_REG_FPTAG, 0xFFFF); // every register empty
}

void Engine::use_budget(InstructionBudget *budget) {
    budget_ = budget != nullptr && budget->limit != 0 ? budget : nullptr;
    // Once added, the hook stays: adding and removing it costs retranslating all code.
    if (budget_ == nullptr || counting_) return;
    check(uc_hook_add(uc_, &count_hook_, UC_HOOK_CODE, reinterpret_cast<void *>(&on_instruction),
                      this, 1, 0),
          "code hook");
    counting_ = true;
}

Engine::Result Engine::run(TrapHandler &handler, uint32_t begin, uint32_t until,
                           InstructionBudget *budget) {
    handler_ = &handler;
    fault_.reset();
    limit_hit_ = false;
    use_budget(budget);
    if (budget_ != nullptr && budget_->used >= budget_->limit) return {Stop::Limit, {}};
    // The stop at `until` is compiled into the translated code: when `until` changes, drop
    // the code translated with the old stop and any translated without the new one.
    if (until != compiled_until_) {
        uc_ctl_remove_cache(uc_, uint64_t(compiled_until_), uint64_t(compiled_until_) + 1);
        uc_ctl_remove_cache(uc_, uint64_t(until), uint64_t(until) + 1);
        compiled_until_ = until;
    }
    uc_err err = uc_emu_start(uc_, begin, until, 0, 0);
    handler_ = nullptr;
    if (fault_) return {Stop::Fault, *fault_};
    if (err != UC_ERR_OK) {
        // An error no hook classified: report it as an exception at the current address.
        uint32_t eip = reg(UC_X86_REG_EIP);
        return {Stop::Fault, {FaultKind::Exception, eip, eip, 0}};
    }
    if (limit_hit_) return {Stop::Limit, {}};
    if (reg(UC_X86_REG_EIP) == until) return {Stop::Until, {}};
    return {Stop::Stopped, {}};
}

void Engine::record_fault(FaultKind kind, uint32_t address, uint32_t vector) {
    if (!fault_) fault_ = Fault{kind, address, reg(UC_X86_REG_EIP), vector};
}

void Engine::on_interrupt(uc_engine *uc, uint32_t intno, void *self) {
    auto *engine = static_cast<Engine *>(self);
    if (intno == kTrapVector && engine->handler_ != nullptr) {
        engine->handler_->on_trap();
        return;
    }
    FaultKind kind = intno == 0    ? FaultKind::DivideError
                     : intno == 6  ? FaultKind::InvalidInstruction
                     : intno == 13 ? FaultKind::GeneralProtection
                                   : FaultKind::Exception;
    uint32_t eip = engine->reg(UC_X86_REG_EIP);
    engine->record_fault(kind, eip, intno);
    uc_emu_stop(uc);
}

bool Engine::on_memory_fault(uc_engine *, uc_mem_type type, uint64_t addr, int, int64_t,
                             void *self) {
    FaultKind kind;
    switch (type) {
    case UC_MEM_READ_UNMAPPED:
        kind = FaultKind::ReadUnmapped;
        break;
    case UC_MEM_WRITE_UNMAPPED:
        kind = FaultKind::WriteUnmapped;
        break;
    case UC_MEM_FETCH_UNMAPPED:
        kind = FaultKind::FetchUnmapped;
        break;
    case UC_MEM_WRITE_PROT:
        kind = FaultKind::WriteProtected;
        break;
    case UC_MEM_FETCH_PROT:
        kind = FaultKind::FetchProtected;
        break;
    default:
        kind = FaultKind::ReadProtected;
        break;
    }
    static_cast<Engine *>(self)->record_fault(kind, uint32_t(addr));
    return false; // not handled: the engine stops with an error
}

bool Engine::on_invalid_instruction(uc_engine *, void *self) {
    auto *engine = static_cast<Engine *>(self);
    engine->record_fault(FaultKind::InvalidInstruction, engine->reg(UC_X86_REG_EIP), 6);
    return false;
}

void Engine::on_instruction(uc_engine *uc, uint64_t, uint32_t, void *self) {
    auto *engine = static_cast<Engine *>(self);
    InstructionBudget *budget = engine->budget_;
    if (budget == nullptr) return;
    if (budget->used >= budget->limit) {
        engine->limit_hit_ = true;
        uc_emu_stop(uc);
        return;
    }
    budget->used++;
}

Engine::Context::Context(uc_engine *uc) {
    check(uc_context_alloc(uc, &ctx_), "uc_context_alloc");
}
Engine::Context::~Context() {
    uc_context_free(ctx_);
}

std::unique_ptr<Engine::Context> Engine::save() {
    auto context = std::make_unique<Context>(uc_);
    check(uc_context_save(uc_, context->get()), "uc_context_save");
    return context;
}

void Engine::restore(Context &context) {
    check(uc_context_restore(uc_, context.get()), "uc_context_restore");
}

} // namespace vekos
