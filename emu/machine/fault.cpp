#include "machine/fault.h"

#include <cstdio>

namespace vekos {
namespace {

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

} // namespace vekos
