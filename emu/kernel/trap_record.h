// What one trap was: its number, argument registers, result and the bytes it carried. Used by
// --trace and by the test harness, which may also answer traps itself (scripted traps).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vekos {

struct TrapRecord {
    uint32_t number = 0;
    std::array<uint32_t, 6> args{}; // ebx, ecx, edx, esi, edi, ebp
    int32_t result = 0;
    int error = 0; // why a failed trap failed, as a host errno, when known; else 0
    // Per argument, the bytes it carried when it points at some: the path, the buffer written
    // (or, after the trap, the bytes read). Empty for plain numbers and unreadable pointers.
    std::array<std::optional<std::string>, 6> data;
    bool scripted = false; // answered by an observer instead of the kernel
    bool returned = true;  // false when the trap ended the process (_exit) or waits
    bool waits = false;    // it can't go on now: it runs again, or is answered, later
    int pid = 0;           // the process's id once the run has several, else 0
};

class TrapObserver {
  public:
    virtual ~TrapObserver() = default;
    // A value answers the trap instead of the kernel, which then does nothing.
    virtual std::optional<int32_t> before(const TrapRecord &) { return std::nullopt; }
    virtual void after(const TrapRecord &) {}
};

} // namespace vekos
