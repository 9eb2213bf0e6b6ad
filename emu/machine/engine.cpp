#include "machine/engine.h"

#include "machine/uc_check.h"
#include "machine/unicorn/tweaks.h"

#include "machine/unicorn/registers.h"
#include <sys/mman.h>

#include <cstring>
#include <iterator>
#include <utility>

namespace vekos {
namespace {

constexpr uint32_t kTrapVector = 0x80;
constexpr uint32_t kGeneralProtection = 13;

constexpr int kUnicornReg[] = {
    UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI,
    UC_X86_REG_EDI, UC_X86_REG_EBP, UC_X86_REG_ESP, UC_X86_REG_EIP, UC_X86_REG_EFLAGS,
};
static_assert(std::size(kUnicornReg) == size_t(Reg::Eflags) + 1);
// Where eax ... esp sit among general_registers() (encoding order).
constexpr size_t kSlot[] = {0, 3, 1, 2, 6, 7, 5, 4};
static_assert(std::size(kSlot) == size_t(Reg::Esp) + 1);

constexpr Reg kTrapArgRegs[6] = {Reg::Ebx, Reg::Ecx, Reg::Edx, Reg::Esi, Reg::Edi, Reg::Ebp};

// A data access's faults: the ones a translated block meets halfway.
bool is_access_fault(FaultKind kind) {
    return kind == FaultKind::ReadUnmapped || kind == FaultKind::WriteUnmapped ||
           kind == FaultKind::ReadProtected || kind == FaultKind::WriteProtected;
}

} // namespace

Engine::Engine(size_t translation_buffer, size_t translation_limit)
    : translation_limit_(translation_limit) {
    // Unicorn sizes the buffer as the first hook is added.
    const size_t usual =
        translation_buffer != 0 ? unicorn::exchange_translation_buffer(translation_buffer) : 0;
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
    if (translation_buffer != 0) unicorn::exchange_translation_buffer(usual);
    enter_user_mode();
    if (window_.base() != nullptr && !unicorn::register_window(uc_, window_.base()))
        window_broken_ = true; // Unicorn as it is: the window stays unused
    watching_ = vekos::watch_stores(uc_, this);
    registers_ = general_registers(uc_);
    eip_ = find_eip();
}

// Unicorn's x86 CPU state keeps eip right after the sixteen general registers; checked with
// two values, so that a call's reads and write of it cost no uc_reg_read or uc_reg_write.
uint64_t *Engine::find_eip() {
    if (registers_ == nullptr) return nullptr;
    uint64_t *slot = registers_ + 16;
    uint32_t saved = 0;
    uc_reg_read(uc_, UC_X86_REG_EIP, &saved);
    bool found = true;
    for (uint32_t value : {0x7ec05e09u, 0x1234abc9u})
        found = found && uc_reg_write(uc_, UC_X86_REG_EIP, &value) == UC_ERR_OK &&
                uint32_t(*slot) == value;
    uc_reg_write(uc_, UC_X86_REG_EIP, &saved);
    return found ? slot : nullptr;
}

// Unicorn is closed first: the host pages it maps must outlive it, and nothing may go through
// it once closed.
Engine::~Engine() {
    // The attached memory's pages leave the window, which goes with the engine.
    if (attached_ != nullptr && window_.base() != nullptr) detach(*attached_);
    if (attached_ != nullptr) {
        attached_->set_code_write_observer(nullptr);
        attached_->set_region_observer(nullptr);
    }
    vekos::watch_stores(uc_, nullptr);
    unicorn::register_window(uc_, nullptr);
    uc_close(uc_);
    if (attached_ == nullptr) // else the attached memory owns the pages and frees them
        for (const Slot &s : slots_) release_host_pages(s.host, s.size);
    if (system_page_ != nullptr) release_host_pages(system_page_, kPageSize);
}

size_t Engine::translated_bytes() const {
    return unicorn::translated_bytes(uc_);
}

void Engine::code_written(uint32_t address, uint32_t size) {
    uc_ctl_remove_cache(uc_, uint64_t(address), uint64_t(address) + size);
}

void Engine::watch_stores() {
    watch_stores({nullptr, reinterpret_cast<uint8_t *>(~uintptr_t(0))});
}

void Engine::watch_stores(GuestMemory::HostSpan span) {
    if (attached_ == nullptr) return;
    attached_->set_stores_noted(watching_);
    if (watching_) rewatch_stores(uc_, span.begin, span.end);
    update_direct();
}

bool Engine::unseen(const uint8_t *host) {
    return attached_ != nullptr && attached_->has_snapshot() && attached_->store_unnoted(host);
}

std::optional<uint32_t> Engine::seen(const uint8_t *host) {
    if (attached_ == nullptr) return std::nullopt;
    return attached_->note_store(host);
}

uint32_t Engine::reg(Reg reg) const {
    if (registers_ != nullptr && reg <= Reg::Esp) return uint32_t(registers_[kSlot[size_t(reg)]]);
    if (eip_ != nullptr && reg == Reg::Eip) return uint32_t(*eip_);
    uint32_t value = 0;
    uc_reg_read(uc_, kUnicornReg[size_t(reg)], &value);
    return value;
}

// As uc_reg_write does it for these: the low half of the 64-bit slot.
void Engine::set_reg(Reg reg, uint32_t value) {
    if (registers_ != nullptr && reg <= Reg::Esp) {
        uint64_t &slot = registers_[kSlot[size_t(reg)]];
        slot = (slot & ~uint64_t(0xFFFFFFFF)) | value;
        return;
    }
    // Outside a run nothing translated needs leaving, and uc_emu_start writes eip through the
    // API anyway; inside one, a new eip must end the translated block.
    if (eip_ != nullptr && reg == Reg::Eip && handler_ == nullptr) {
        *eip_ = value;
        return;
    }
    uc_reg_write(uc_, kUnicornReg[size_t(reg)], &value);
}

TrapArgs Engine::trap_arguments() const {
    TrapArgs trap;
    trap.number = reg(Reg::Eax);
    for (size_t i = 0; i < trap.args.size(); i++) trap.args[i] = reg(kTrapArgRegs[i]);
    return trap;
}

std::array<uint8_t, 10> Engine::st0() const {
    uint8_t value[16] = {}; // Unicorn stores 10 bytes; room to spare
    uc_reg_read(uc_, UC_X86_REG_ST0, value);
    std::array<uint8_t, 10> bytes;
    std::memcpy(bytes.data(), value, 10);
    return bytes;
}

void Engine::empty_fpu_stack() {
    uint32_t status = 0, tags = 0xFFFF; // top of stack at 0, no exceptions; every register empty
    uc_reg_write(uc_, UC_X86_REG_FPSW, &status);
    uc_reg_write(uc_, UC_X86_REG_FPTAG, &tags);
}

void Engine::reset_fpu() {
    uint32_t control = 0x37F;
    uc_reg_write(uc_, UC_X86_REG_FPCW, &control);
    empty_fpu_stack();
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

Engine::RunResult Engine::run(TrapHandler &handler, uint32_t begin, uint32_t until,
                              InstructionBudget *budget) {
    handler_ = &handler;
    fault_.reset();
    limit_hit_ = false;
    watch_hit_ = false;
    access_stop_ = false;
    use_budget(budget);
    if (budget_ != nullptr && budget_->used >= budget_->limit) return {Stop::Limit, {}};
    // The stop at `until` is compiled into the translated code: when `until` changes, drop
    // the code translated with the old stop and any translated without the new one.
    if (until != compiled_until_) {
        uc_ctl_remove_cache(uc_, uint64_t(compiled_until_), uint64_t(compiled_until_) + 1);
        uc_ctl_remove_cache(uc_, uint64_t(until), uint64_t(until) + 1);
        compiled_until_ = until;
    }
    stopped_ = false;
    preempted_ = false;
    uc_err err = uc_emu_start(uc_, begin, until, 0, 0);
    // Stopped to flush the translation buffer before it fills: flush, go on unless something
    // else ended the run too.
    while (unicorn::take_flush_request(uc_)) {
        unicorn::flush_translations(uc_);
        uint32_t eip = reg(Reg::Eip);
        if (err != UC_ERR_OK || handler_exception_ || fault_ || limit_hit_ || watch_hit_ ||
            stopped_ || preempted_ || eip == until)
            break;
        err = uc_emu_start(uc_, eip, until, 0, 0);
    }
    handler_ = nullptr;
    if (handler_exception_) std::rethrow_exception(std::exchange(handler_exception_, nullptr));
    if (fault_) {
        // A memory hook runs before the faulting instruction's state is restored
        // (machine/unicorn/precise_faults.cpp): its eip is the one the run ends with.
        if (unicorn::corrections_linked() && is_access_fault(fault_->kind))
            fault_->eip = reg(Reg::Eip);
        return {Stop::Fault, *fault_};
    }
    if (err != UC_ERR_OK) {
        // An error no hook classified: report it as an exception at the current address.
        uint32_t eip = reg(Reg::Eip);
        return {Stop::Fault, {FaultKind::Exception, eip, eip, 0}};
    }
    if (limit_hit_) return {Stop::Limit, {}};
    if (watch_hit_) return {Stop::Watch, {}};
    if (reg(Reg::Eip) == until) return {Stop::Until, {}};
    if (preempted_ && !stopped_) return {Stop::Preempted, {}};
    return {Stop::Stopped, {}};
}

void Engine::record_fault(FaultKind kind, uint32_t address, uint32_t vector) {
    if (!fault_) fault_ = Fault{kind, address, reg(Reg::Eip), vector};
}

void Engine::on_interrupt(uc_engine *uc, uint32_t intno, void *self) {
    auto *engine = static_cast<Engine *>(self);
    unicorn::exception_delivered(uc);
    if (intno == kTrapVector && engine->handler_ != nullptr) {
        if (engine->handler_exception_) { // stopping already: the trap waits for the next run
            uc_emu_stop(uc);
            return;
        }
        try {
            engine->handler_->on_trap();
        } catch (...) {
            engine->handler_exception_ = std::current_exception();
            uc_emu_stop(uc);
        }
        return;
    }
    if (intno == kGeneralProtection && engine->handler_ != nullptr && engine->time_stamp_read())
        return;
    FaultKind kind = intno == 0    ? FaultKind::DivideError
                     : intno == 6  ? FaultKind::InvalidInstruction
                     : intno == 13 ? FaultKind::GeneralProtection
                                   : FaultKind::Exception;
    uint32_t eip = engine->reg(Reg::Eip);
    engine->record_fault(kind, eip, intno);
    uc_emu_stop(uc);
}

// The guest's `rdtsc` faults (the engine sets CR4.TSD) so that the kernel answers it: a
// replay must give the recorded counter, not the host's.
bool Engine::time_stamp_read() {
    const uint32_t at = reg(Reg::Eip);
    uint8_t code[2] = {};
    if (attached_ == nullptr || !attached_->read(at, code, 2) || code[0] != 0x0F || code[1] != 0x31)
        return false;
    std::optional<uint64_t> value;
    if (!handler_exception_) {
        try {
            value = handler_->on_time_stamp();
        } catch (...) {
            handler_exception_ = std::current_exception();
        }
    }
    if (!value) { // left for later: should the CPU go on before the stop, it comes here again
        uc_emu_stop(uc_);
        return true;
    }
    set_reg(Reg::Eip, at + 2);
    set_reg(Reg::Eax, uint32_t(*value));
    set_reg(Reg::Edx, uint32_t(*value >> 32));
    return true;
}

std::optional<uint64_t> TrapHandler::on_time_stamp() {
    return host_time_stamp();
}

uint64_t host_time_stamp() {
    return __builtin_ia32_rdtsc();
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
    engine->record_fault(FaultKind::InvalidInstruction, engine->reg(Reg::Eip), 6);
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
