// Finds the general registers inside Unicorn 2.0.1's CPU object (linked with the other
// tweaks, VEKOS_UNICORN_TWEAKS): its x86 build keeps them as the first sixteen 64-bit words of
// the CPU state, somewhere after uc->cpu. Rather than trust an offset into that object, the
// registers are given marked values through the API and looked for, twice over with
// different values; the search reads only within the CPU object, where they are.
#include "machine/unicorn/registers.h"

#include <cstddef>
#include <cstring>

namespace vekos {
namespace {

constexpr size_t kUcCpuOffset =
    0x180; // uc_struct::cpu, as machine/unicorn/dirty_pages.cpp reads it
constexpr size_t kSearchLimit = 0x10000; // the registers lie well within this of the CPU's start
constexpr int kRegs[8] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EBX,
                          UC_X86_REG_ESP, UC_X86_REG_EBP, UC_X86_REG_ESI, UC_X86_REG_EDI};

bool write_all(uc_engine *uc, const uint32_t (&values)[8]) {
    for (int i = 0; i < 8; i++)
        if (uc_reg_write(uc, kRegs[i], &values[i]) != UC_ERR_OK) return false;
    return true;
}

bool holds(const uint64_t *slots, const uint32_t (&values)[8]) {
    for (int i = 0; i < 8; i++)
        if (uint32_t(slots[i]) != values[i]) return false;
    return true;
}

} // namespace

uint64_t *general_registers(uc_engine *uc) {
    char *cpu;
    std::memcpy(&cpu, reinterpret_cast<char *>(uc) + kUcCpuOffset, sizeof cpu);
    if (cpu == nullptr) return nullptr;
    uint32_t saved[8];
    for (int i = 0; i < 8; i++)
        if (uc_reg_read(uc, kRegs[i], &saved[i]) != UC_ERR_OK) return nullptr;
    const uint32_t first[8] = {0x7ec05e01, 0x7ec05e02, 0x7ec05e03, 0x7ec05e04,
                               0x7ec05e05, 0x7ec05e06, 0x7ec05e07, 0x7ec05e08};
    const uint32_t second[8] = {0x1234abc1, 0x1234abc2, 0x1234abc3, 0x1234abc4,
                                0x1234abc5, 0x1234abc6, 0x1234abc7, 0x1234abc8};
    uint64_t *found = nullptr;
    if (write_all(uc, first)) {
        for (size_t at = 0; at + 8 * sizeof(uint64_t) <= kSearchLimit; at += sizeof(uint64_t)) {
            auto *slots = reinterpret_cast<uint64_t *>(cpu + at);
            if (holds(slots, first)) {
                found = slots;
                break;
            }
        }
    }
    if (found != nullptr && !(write_all(uc, second) && holds(found, second))) found = nullptr;
    write_all(uc, saved);
    return found;
}

} // namespace vekos
