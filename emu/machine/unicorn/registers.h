// The guest's general registers where Unicorn keeps them, for the trap path: uc_reg_read
// costs about 65 instructions a register, and a trap reads seven (the library traps once per
// byte it prints or reads).
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>

namespace vekos {

// eax, ecx, edx, ebx, esp, ebp, esi, edi (encoding order), each in a 64-bit slot whose low
// half is the register; nullptr when this build can't find them (callers use uc_reg_read).
uint64_t *general_registers(uc_engine *uc);

} // namespace vekos
