#include "kernel/fault_report.h"

#include "common/escape.h"
#include "debug/source_lines.h"

namespace vekos {
namespace {

// The fault's memory address, for the faults that touched memory.
std::optional<uint32_t> touched_address(const Fault &fault) {
    switch (fault.kind) {
    case FaultKind::ReadUnmapped:
    case FaultKind::WriteUnmapped:
    case FaultKind::ReadProtected:
    case FaultKind::WriteProtected:
        return fault.address;
    default:
        return std::nullopt;
    }
}

// The frames from the state on `engine`, with `eip` in place of its own.
std::string frames(Process &process, const Engine &engine, uint32_t eip,
                   std::optional<uint32_t> touched, std::optional<uint32_t> from,
                   const std::vector<uint8_t> &image) {
    auto info = debug::DebugInfo::open(image);
    if (!info) return "";
    debug::Registers regs;
    const std::pair<int, Reg> kKept[] = {{debug::kDwEax, Reg::Eax}, {debug::kDwEcx, Reg::Ecx},
                                         {debug::kDwEdx, Reg::Edx}, {debug::kDwEbx, Reg::Ebx},
                                         {debug::kDwEsp, Reg::Esp}, {debug::kDwEbp, Reg::Ebp},
                                         {debug::kDwEsi, Reg::Esi}, {debug::kDwEdi, Reg::Edi}};
    for (auto [dwarf, reg] : kKept) regs.set(dwarf, engine.reg(reg));
    regs.set(debug::kDwEip, eip);
    const GuestMemory &memory = process.memory();
    auto read = [&memory](uint32_t addr) { return memory.read_u32(addr); };
    debug::Backtrace trace =
        debug::backtrace(**info, regs, read, {process.stack_bottom(), kStackTop}, touched, from);
    // Names and files are the image's bytes: shown escaped, as the summary line shows them.
    for (debug::Frame &frame : trace.frames) {
        frame.place.function = escape_bytes(frame.place.function, Escapes::C);
        frame.place.file = escape_bytes(frame.place.file, Escapes::C);
    }
    return debug::format_backtrace(trace);
}

} // namespace

std::string fault_backtrace(Process &process, const Engine &engine, const Fault &fault,
                            const std::vector<uint8_t> &image) {
    return frames(process, engine, fault.eip, touched_address(fault), std::nullopt, image);
}

std::string report_backtrace(Process &process, const Engine &engine, uint32_t from,
                             const std::vector<uint8_t> &image) {
    return frames(process, engine, engine.reg(Reg::Eip), std::nullopt, from, image);
}

} // namespace vekos
