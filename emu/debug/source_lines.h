// Where an address of a program image lies: function+offset from the image's symbols and,
// when it carries debug information, file:line (read with elfutils' libdw). Also unwinds one
// stack frame: by call-frame information (.debug_frame, .eh_frame) where the image has it,
// by the frame-pointer chain (ebp) otherwise.
//
// Limits: ELF32 i386 images only; inlined functions are named by the function they were
// inlined into.
#pragma once

#include "common/result.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vekos::debug {

struct AddressRange {
    uint32_t begin;
    uint32_t end; // one past the last byte
    bool contains(uint32_t addr) const { return addr >= begin && addr < end; }
};

struct Place {
    std::string function; // empty when no symbol covers the address
    uint32_t offset = 0;
    std::string file; // the source file's name without its folders; empty without lines
    int line = 0;
};

// One row of a line table: the code from `address` on is `line` of `file` (a path as the
// compiler recorded it: absolute, or relative to `comp_dir`).
struct LineRow {
    uint32_t address;
    int line;
    bool end_sequence; // the row only ends the previous range
    std::string file;
    std::string comp_dir;
};

// The registers an unwinder tracks, indexed by their DWARF numbers for i386.
enum DwarfReg : int { kDwEax, kDwEcx, kDwEdx, kDwEbx, kDwEsp, kDwEbp, kDwEsi, kDwEdi, kDwEip };
struct Registers {
    std::array<uint32_t, 9> value{};
    std::array<bool, 9> known{};
    void set(int reg, uint32_t v) { value[reg] = v, known[reg] = true; }
};

// Reads 4 bytes of guest memory through the checked accessor; nullopt when unreadable.
using ReadU32 = std::function<std::optional<uint32_t>(uint32_t addr)>;

class DebugInfo {
  public:
    // The image's file bytes (kept), or why they are not an ELF32 i386 image.
    static Result<std::unique_ptr<DebugInfo>> open(std::vector<uint8_t> file);
    static Result<std::unique_ptr<DebugInfo>> open_file(const std::string &path);
    ~DebugInfo();
    DebugInfo(const DebugInfo &) = delete;
    DebugInfo &operator=(const DebugInfo &) = delete;

    bool has_lines() const;
    // The loaded (PT_LOAD) segments, by their memory sizes.
    const std::vector<AddressRange> &segments() const { return segments_; }
    bool in_image(uint32_t addr) const;
    std::optional<uint32_t> address_of(std::string_view function) const;
    // Function, offset and line of `addr`.
    Place place(uint32_t addr) const;
    // Every line table row of every compilation unit, by address; empty without lines.
    std::vector<LineRow> line_rows() const;
    struct Symbol {
        uint32_t address;
        uint32_t size;
        std::string name;
    };
    // The function (and untyped) symbols in the image, by address.
    const std::vector<Symbol> &functions() const { return functions_; }
    // The caller's registers, or nullopt at the outermost frame or when nothing is known.
    // `return_address` says pc follows a call (frames above the innermost): its call
    // instruction is the one looked up.
    std::optional<Registers> unwind(const Registers &frame, const ReadU32 &read,
                                    bool return_address) const;

  private:
    struct Handles;
    explicit DebugInfo(std::vector<uint8_t> file);
    std::optional<Failure> load();
    const Symbol *symbol_at(uint32_t addr) const;
    std::optional<Registers> unwind_by_cfi(const Registers &frame, const ReadU32 &read,
                                           uint32_t lookup) const;

    std::vector<uint8_t> file_;
    std::unique_ptr<Handles> handles_;
    std::vector<AddressRange> segments_;
    std::vector<Symbol> functions_; // by address
};

struct Frame {
    uint32_t pc;
    bool outside_image;
    Place place;
};

struct Backtrace {
    std::vector<Frame> frames;
    // Frames walked but left out after the first `innermost` ones (a deep recursion).
    size_t elided = 0;
    size_t innermost = 0;
    bool stack_overflow = false;
};

// Frames from the faulting state outwards, every one to the outermost; of a deeper stack, the
// `innermost` first and the `outermost` last are kept. `stack` is the stack region;
// `fault_address` the address a memory fault touched (if any): a stack pointer below the
// stack, or a fault just below it, is a stack overflow. With `from`, a return address, the
// frames start at the one that returns there, those inside it left out (the code that made a
// report for it); all are kept when none does.
Backtrace backtrace(const DebugInfo &info, const Registers &start, const ReadU32 &read,
                    AddressRange stack, std::optional<uint32_t> fault_address,
                    std::optional<uint32_t> from = std::nullopt, size_t innermost = 16,
                    size_t outermost = 8);

// "  #0 0x0040002d sum_list+0xd (list.c:12)" per frame, newline-terminated; an address
// outside the image says so, a stack overflow is named on a line of its own first, and
// frames left out on one line where they are.
std::string format_backtrace(const Backtrace &trace);

} // namespace vekos::debug
