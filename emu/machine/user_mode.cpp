// Privilege level 3. Unicorn starts the CPU at level 0, where `cli`, `out`, control and debug
// registers and descriptor tables are the guest's; a level-0 stack segment can't be swapped
// for a level-3 one through its API. So the engine leaves level 0 as a kernel does: `sysexit`
// from a page of its own, which loads flat level-3 code and stack segments. Saved contexts
// keep the level, so every process and test guest starts from it.
//
// The page lies above every user address and stays mapped read-only: it holds the descriptor
// table that segment loads read (accessed bits preset, so the CPU never writes it).
#include "machine/engine.h"
#include "machine/uc_check.h"

#include <sys/mman.h>

#include <cstring>
#include <new>
#include <stdexcept>

namespace vekos {
namespace {

constexpr uint32_t kSystemPage = 0xFFFFE000;
constexpr uint32_t kSysexitOffset = 0x800;
constexpr uint32_t kSysenterCsMsr = 0x174;
constexpr uint64_t kTimeStampDisable = 1 << 2; // CR4.TSD
// Descriptor table: null, level-0 code and data, level-3 code and data. sysexit takes the
// level-3 pair at SYSENTER_CS + 16 and + 24.
constexpr uint16_t kKernelCode = 0x08;
constexpr uint16_t kUserCode = 0x18 | 3;
constexpr uint16_t kUserData = 0x20 | 3;
constexpr uint8_t kKernelCodeAccess = 0x9b, kKernelDataAccess = 0x93; // present, accessed
constexpr uint8_t kUserCodeAccess = 0xfb, kUserDataAccess = 0xf3;     // same at level 3

// Base 0, limit 4 GiB (0xfffff pages), 32-bit.
uint64_t flat_descriptor(uint8_t access) {
    return 0xffffull | uint64_t(access) << 40 | 0xfull << 48 | 0xcull << 52;
}

} // namespace

void Engine::enter_user_mode() {
    // In the window, the page is where the guest would reach it.
    void *at = window_.base() != nullptr ? window_.at(kSystemPage) : nullptr;
    void *page = mmap(at, kPageSize, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | (at != nullptr ? MAP_FIXED : 0), -1, 0);
    if (page == MAP_FAILED) throw std::bad_alloc();
    system_page_ = static_cast<uint8_t *>(page);
    const uint64_t table[] = {0, flat_descriptor(kKernelCodeAccess),
                              flat_descriptor(kKernelDataAccess), flat_descriptor(kUserCodeAccess),
                              flat_descriptor(kUserDataAccess)};
    std::memcpy(system_page_, table, sizeof table);
    system_page_[kSysexitOffset] = 0x0f;
    system_page_[kSysexitOffset + 1] = 0x35;
    check(uc_mem_map_ptr(uc_, kSystemPage, kPageSize, UC_PROT_READ | UC_PROT_EXEC, system_page_),
          "system page");

    uc_x86_mmr gdtr{};
    gdtr.base = kSystemPage;
    gdtr.limit = sizeof table - 1;
    check(uc_reg_write(uc_, UC_X86_REG_GDTR, &gdtr), "GDTR");
    uint32_t data = kUserData;
    for (int segment : {UC_X86_REG_DS, UC_X86_REG_ES, UC_X86_REG_FS, UC_X86_REG_GS})
        check(uc_reg_write(uc_, segment, &data), "data segment");
    uc_x86_msr sysenter_cs{kSysenterCsMsr, kKernelCode};
    check(uc_reg_write(uc_, UC_X86_REG_MSR, &sysenter_cs), "SYSENTER_CS");
    const uint32_t sysexit = kSystemPage + kSysexitOffset, after = sysexit + 2;
    uint32_t esp = 0;
    set_reg(Reg::Edx, after); // sysexit's eip
    uc_reg_write(uc_, UC_X86_REG_ECX, &esp);
    check(uc_emu_start(uc_, sysexit, after, 0, 0), "sysexit");
    uint32_t cs = 0, ss = 0;
    uc_reg_read(uc_, UC_X86_REG_CS, &cs);
    uc_reg_read(uc_, UC_X86_REG_SS, &ss);
    if (cs != kUserCode || ss != kUserData) throw std::runtime_error("cannot leave level 0");

    // With no SYSENTER_CS, the guest's sysenter faults. eip leaves the page before it loses
    // execute permission, which Unicorn would take for a request to stop.
    sysenter_cs.value = 0;
    check(uc_reg_write(uc_, UC_X86_REG_MSR, &sysenter_cs), "SYSENTER_CS");
    set_reg(Reg::Edx, 0);
    set_reg(Reg::Eip, 0);
    check(uc_mem_protect(uc_, kSystemPage, kPageSize, UC_PROT_READ), "system page");
    mprotect(system_page_, kPageSize, PROT_READ);
    // Time-stamp disable: `rdtsc` at level 3 faults, and the handler answers it.
    uint64_t cr4 = 0;
    check(uc_reg_read(uc_, UC_X86_REG_CR4, &cr4), "CR4");
    cr4 |= kTimeStampDisable;
    check(uc_reg_write(uc_, UC_X86_REG_CR4, &cr4), "CR4");
}

} // namespace vekos
