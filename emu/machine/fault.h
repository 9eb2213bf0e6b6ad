// What stopped a guest against its will: a memory access, an instruction or a CPU exception.
#pragma once

#include <cstdint>
#include <string>

namespace vekos {

enum class FaultKind {
    ReadUnmapped,
    WriteUnmapped,
    FetchUnmapped,
    ReadProtected,
    WriteProtected,
    FetchProtected,
    InvalidInstruction,
    DivideError,
    GeneralProtection,
    Exception, // any other CPU exception or interrupt vector
};

struct Fault {
    FaultKind kind;
    uint32_t address; // the memory address for access faults, else the instruction's
    uint32_t eip;
    uint32_t vector; // for Exception
};

// "read of unmapped address 0x00000000 at 0x00400123", without a symbol.
std::string describe_fault(const Fault &fault);

} // namespace vekos
