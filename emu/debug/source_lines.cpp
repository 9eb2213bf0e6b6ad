#include "debug/source_lines.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <gelf.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>

namespace vekos::debug {

struct DebugInfo::Handles {
    Elf *elf = nullptr;
    Dwarf *dwarf = nullptr;         // nullptr without .debug_info
    Dwarf_CFI *debug_cfi = nullptr; // .debug_frame, owned by dwarf
    Dwarf_CFI *eh_cfi = nullptr;    // .eh_frame
    ~Handles() {
        if (eh_cfi) dwarf_cfi_end(eh_cfi);
        if (dwarf) dwarf_end(dwarf);
        if (elf) elf_end(elf);
    }
};

DebugInfo::DebugInfo(std::vector<uint8_t> file)
    : file_(std::move(file)), handles_(std::make_unique<Handles>()) {}
DebugInfo::~DebugInfo() = default;

Result<std::unique_ptr<DebugInfo>> DebugInfo::open(std::vector<uint8_t> file) {
    std::unique_ptr<DebugInfo> info(new DebugInfo(std::move(file)));
    if (auto error = info->load()) return *error;
    return info;
}

Result<std::unique_ptr<DebugInfo>> DebugInfo::open_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Failure{path + ": cannot be read"};
    return open(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
}

std::optional<Failure> DebugInfo::load() {
    elf_version(EV_CURRENT);
    Elf *elf = elf_memory(reinterpret_cast<char *>(file_.data()), file_.size());
    handles_->elf = elf;
    GElf_Ehdr header;
    if (!elf || elf_kind(elf) != ELF_K_ELF || !gelf_getehdr(elf, &header) ||
        gelf_getclass(elf) != ELFCLASS32 || header.e_machine != EM_386)
        return Failure{"not an ELF32 i386 image"};

    size_t count = 0;
    elf_getphdrnum(elf, &count);
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr segment;
        if (gelf_getphdr(elf, int(i), &segment) && segment.p_type == PT_LOAD &&
            segment.p_memsz != 0)
            segments_.push_back(
                {uint32_t(segment.p_vaddr),
                 uint32_t(std::min<uint64_t>(segment.p_vaddr + segment.p_memsz, 0xffffffffu))});
    }

    for (Elf_Scn *section = nullptr; (section = elf_nextscn(elf, section));) {
        GElf_Shdr shdr;
        if (!gelf_getshdr(section, &shdr) || shdr.sh_type != SHT_SYMTAB || shdr.sh_entsize == 0)
            continue;
        Elf_Data *data = elf_getdata(section, nullptr);
        for (size_t i = 0; data && i < shdr.sh_size / shdr.sh_entsize; ++i) {
            GElf_Sym symbol;
            if (!gelf_getsym(data, int(i), &symbol) || symbol.st_shndx == SHN_UNDEF ||
                (GELF_ST_TYPE(symbol.st_info) != STT_FUNC &&
                 GELF_ST_TYPE(symbol.st_info) != STT_NOTYPE))
                continue;
            const char *name = elf_strptr(elf, shdr.sh_link, symbol.st_name);
            if (name && *name && in_image(uint32_t(symbol.st_value)))
                functions_.push_back({uint32_t(symbol.st_value), uint32_t(symbol.st_size), name});
        }
    }
    std::sort(functions_.begin(), functions_.end(),
              [](const Symbol &a, const Symbol &b) { return a.address < b.address; });

    handles_->dwarf = dwarf_begin_elf(elf, DWARF_C_READ, nullptr);
    if (handles_->dwarf) handles_->debug_cfi = dwarf_getcfi(handles_->dwarf);
    handles_->eh_cfi = dwarf_getcfi_elf(elf);
    return std::nullopt;
}

bool DebugInfo::has_lines() const {
    return handles_->dwarf != nullptr;
}

bool DebugInfo::in_image(uint32_t addr) const {
    return std::any_of(segments_.begin(), segments_.end(),
                       [addr](const AddressRange &range) { return range.contains(addr); });
}

const DebugInfo::Symbol *DebugInfo::symbol_at(uint32_t addr) const {
    auto after = std::upper_bound(functions_.begin(), functions_.end(), addr,
                                  [](uint32_t a, const Symbol &s) { return a < s.address; });
    if (after == functions_.begin() || !in_image(addr)) return nullptr;
    const Symbol &symbol = *std::prev(after);
    // A sized symbol covers its bytes only; an unsized one (assembly) runs to the next.
    if (symbol.size != 0 && addr - symbol.address >= symbol.size) return nullptr;
    return &symbol;
}

std::optional<uint32_t> DebugInfo::address_of(std::string_view function) const {
    for (const Symbol &symbol : functions_)
        if (symbol.name == function) return symbol.address;
    return std::nullopt;
}

Place DebugInfo::place(uint32_t addr) const {
    Place place;
    if (const Symbol *symbol = symbol_at(addr)) {
        place.function = symbol->name;
        place.offset = addr - symbol->address;
    }
    Dwarf_Die unit;
    if (handles_->dwarf && dwarf_addrdie(handles_->dwarf, addr, &unit)) {
        if (Dwarf_Line *line = dwarf_getsrc_die(&unit, addr)) {
            const char *file = dwarf_linesrc(line, nullptr, nullptr);
            int number = 0;
            if (file && dwarf_lineno(line, &number) == 0 && number > 0) {
                std::string_view name(file);
                place.file = std::string(name.substr(name.rfind('/') + 1));
                place.line = number;
            }
        }
    }
    return place;
}

std::vector<LineRow> DebugInfo::line_rows() const {
    std::vector<LineRow> rows;
    Dwarf *dwarf = handles_->dwarf;
    Dwarf_Off offset = 0, next = 0;
    size_t header_size = 0;
    while (dwarf &&
           dwarf_nextcu(dwarf, offset, &next, &header_size, nullptr, nullptr, nullptr) == 0) {
        Dwarf_Die unit;
        Dwarf_Lines *lines = nullptr;
        size_t count = 0;
        if (dwarf_offdie(dwarf, offset + header_size, &unit) &&
            dwarf_getsrclines(&unit, &lines, &count) == 0) {
            Dwarf_Attribute attribute;
            const char *dir = dwarf_formstring(dwarf_attr(&unit, DW_AT_comp_dir, &attribute));
            for (size_t i = 0; i < count; ++i) {
                Dwarf_Line *line = dwarf_onesrcline(lines, i);
                Dwarf_Addr address = 0;
                int number = 0;
                bool end = false;
                const char *file = line ? dwarf_linesrc(line, nullptr, nullptr) : nullptr;
                if (!file || dwarf_lineaddr(line, &address) != 0 ||
                    dwarf_lineno(line, &number) != 0 || dwarf_lineendsequence(line, &end) != 0)
                    continue;
                rows.push_back({uint32_t(address), number, end, file, dir ? dir : ""});
            }
        }
        offset = next;
    }
    std::stable_sort(rows.begin(), rows.end(), [](const LineRow &a, const LineRow &b) {
        return a.address != b.address ? a.address < b.address : a.end_sequence > b.end_sequence;
    });
    return rows;
}

namespace {

// Evaluates the few DWARF operations call-frame information uses. `value` is false when
// the result is a location (the caller's register is stored there).
std::optional<uint32_t> evaluate(const Dwarf_Op *ops, size_t count, const Registers &regs,
                                 uint32_t cfa, const ReadU32 &read, bool &is_value) {
    std::vector<uint32_t> stack;
    is_value = false;
    auto pop = [&stack]() -> std::optional<uint32_t> {
        if (stack.empty()) return std::nullopt;
        uint32_t top = stack.back();
        stack.pop_back();
        return top;
    };
    for (size_t i = 0; i < count; ++i) {
        const Dwarf_Op &op = ops[i];
        if (op.atom >= DW_OP_breg0 && op.atom <= DW_OP_breg0 + int(kDwEip)) {
            int reg = op.atom - DW_OP_breg0;
            if (!regs.known[reg]) return std::nullopt;
            stack.push_back(uint32_t(regs.value[reg] + op.number));
        } else if (op.atom >= DW_OP_lit0 && op.atom <= DW_OP_lit31) {
            stack.push_back(op.atom - DW_OP_lit0);
        } else {
            switch (op.atom) {
            case DW_OP_bregx: // libdw states a frame's CFA rule this way
                if (op.number > kDwEip || !regs.known[op.number]) return std::nullopt;
                stack.push_back(uint32_t(regs.value[op.number] + op.number2));
                break;
            case DW_OP_call_frame_cfa:
                stack.push_back(cfa);
                break;
            case DW_OP_const1u:
            case DW_OP_const1s:
            case DW_OP_const2u:
            case DW_OP_const2s:
            case DW_OP_const4u:
            case DW_OP_const4s:
            case DW_OP_constu:
            case DW_OP_consts:
                stack.push_back(uint32_t(op.number));
                break;
            case DW_OP_plus_uconst: {
                auto top = pop();
                if (!top) return std::nullopt;
                stack.push_back(uint32_t(*top + op.number));
                break;
            }
            case DW_OP_plus:
            case DW_OP_minus: {
                auto b = pop(), a = pop();
                if (!a || !b) return std::nullopt;
                stack.push_back(op.atom == DW_OP_plus ? *a + *b : *a - *b);
                break;
            }
            case DW_OP_deref: {
                auto top = pop();
                auto word = top ? read(*top) : std::nullopt;
                if (!word) return std::nullopt;
                stack.push_back(*word);
                break;
            }
            case DW_OP_stack_value:
                is_value = true;
                break;
            default:
                return std::nullopt; // not used by the compilers vekos-cc drives
            }
        }
    }
    return pop();
}

} // namespace

std::optional<Registers> DebugInfo::unwind_by_cfi(const Registers &frame, const ReadU32 &read,
                                                  uint32_t lookup) const {
    for (Dwarf_CFI *cfi : {handles_->debug_cfi, handles_->eh_cfi}) {
        Dwarf_Frame *state = nullptr;
        if (!cfi || dwarf_cfi_addrframe(cfi, lookup, &state) != 0) continue;
        std::unique_ptr<Dwarf_Frame, void (*)(void *)> owned(state, free);
        Dwarf_Op *ops = nullptr;
        size_t count = 0;
        bool is_value;
        if (dwarf_frame_cfa(state, &ops, &count) != 0 || count == 0) return std::nullopt;
        auto cfa = evaluate(ops, count, frame, 0, read, is_value);
        if (!cfa) return std::nullopt;
        Registers caller;
        caller.set(kDwEsp, *cfa); // i386: the caller's stack pointer is the frame address
        for (int reg = 0; reg <= kDwEip; ++reg) {
            Dwarf_Op ops_mem[3];
            if (dwarf_frame_register(state, reg, ops_mem, &ops, &count) != 0) continue;
            if (count == 0) {
                if (ops == nullptr && frame.known[reg] && reg != kDwEsp) // same value
                    caller.set(reg, frame.value[reg]);
                continue; // else undefined: the callee clobbers it
            }
            auto result = evaluate(ops, count, frame, *cfa, read, is_value);
            if (result && !is_value) result = read(*result);
            if (result) caller.set(reg, *result);
        }
        if (!caller.known[kDwEip]) return std::nullopt; // the outermost frame: nothing called it
        return caller;
    }
    return std::nullopt;
}

std::optional<Registers> DebugInfo::unwind(const Registers &frame, const ReadU32 &read,
                                           bool return_address) const {
    if (!frame.known[kDwEip] || !frame.known[kDwEsp]) return std::nullopt;
    uint32_t pc = frame.value[kDwEip];
    uint32_t lookup = return_address ? pc - 1 : pc;
    if (in_image(lookup)) {
        if (auto caller = unwind_by_cfi(frame, read, lookup)) return caller;
    }
    Registers caller;
    const Symbol *symbol = symbol_at(lookup);
    bool at_entry = !return_address && symbol && symbol->address == pc;
    if (!in_image(pc) || at_entry) {
        // A call to a wild address, or a function not yet into its prologue: the return
        // address is on top of the stack.
        auto ret = read(frame.value[kDwEsp]);
        if (!ret) return std::nullopt;
        caller = frame;
        caller.set(kDwEip, *ret);
        caller.set(kDwEsp, frame.value[kDwEsp] + 4);
        return caller;
    }
    // The frame-pointer chain: [ebp] is the caller's ebp, [ebp + 4] the return address.
    if (!frame.known[kDwEbp] || frame.value[kDwEbp] == 0) return std::nullopt;
    uint32_t ebp = frame.value[kDwEbp];
    auto saved_ebp = read(ebp);
    auto ret = read(ebp + 4);
    if (!saved_ebp || !ret) return std::nullopt;
    caller.set(kDwEbp, *saved_ebp);
    caller.set(kDwEip, *ret);
    caller.set(kDwEsp, ebp + 8);
    return caller;
}

Backtrace backtrace(const DebugInfo &info, const Registers &start, const ReadU32 &read,
                    AddressRange stack, std::optional<uint32_t> fault_address,
                    std::optional<uint32_t> from, size_t innermost, size_t outermost) {
    constexpr uint32_t kGuardBelow = 0x10000; // a fault this close below the stack overflowed
    Backtrace trace;
    uint32_t esp = start.value[kDwEsp];
    trace.stack_overflow = start.known[kDwEsp] &&
                           (esp < stack.begin || (fault_address && *fault_address < stack.begin &&
                                                  stack.begin - *fault_address <= kGuardBelow));
    trace.innermost = innermost;
    // Each frame lies above the last (stacks grow down), inside the stack, so a walk ends
    // within the stack's words; the places of the frames kept are looked up once it has.
    std::vector<uint32_t> kept;         // the innermost pcs
    std::deque<uint32_t> outermost_pcs; // the latest ones past those
    Registers frame = start;
    bool skipping = from.has_value();
    for (size_t depth = 0; frame.known[kDwEip]; ++depth) {
        uint32_t pc = frame.value[kDwEip];
        if (skipping && depth > 0 && pc == *from) skipping = false;
        if (skipping) {
            // inside the frame the report is for
        } else if (kept.size() < innermost) {
            kept.push_back(pc);
        } else {
            outermost_pcs.push_back(pc);
            if (outermost_pcs.size() > outermost) {
                outermost_pcs.pop_front();
                ++trace.elided;
            }
        }
        auto caller = info.unwind(frame, read, depth > 0);
        // A caller's frame lies above, in the stack (or its guard below), and returns into the
        // image; anything else is a broken chain (a register that was no frame pointer).
        if (!caller || !caller->known[kDwEsp] || caller->value[kDwEsp] <= frame.value[kDwEsp] ||
            caller->value[kDwEsp] > stack.end ||
            caller->value[kDwEsp] < stack.begin - std::min(stack.begin, kGuardBelow) ||
            !info.in_image(caller->value[kDwEip]))
            break;
        frame = *caller;
    }
    if (skipping) // no frame returns to `from`: all of them
        return backtrace(info, start, read, stack, fault_address, std::nullopt, innermost,
                         outermost);
    kept.insert(kept.end(), outermost_pcs.begin(), outermost_pcs.end());
    for (size_t i = 0; i < kept.size(); ++i) {
        uint32_t pc = kept[i];
        bool outside = !info.in_image(pc);
        bool returns = i > 0 || from; // the frame stands after a call
        trace.frames.push_back(
            {pc, outside, outside ? Place{} : info.place(returns ? pc - 1 : pc)});
        if (returns && !trace.frames.back().place.function.empty())
            trace.frames.back().place.offset += 1; // the offset names the return address
    }
    return trace;
}

std::string format_backtrace(const Backtrace &trace) {
    std::string out;
    if (trace.stack_overflow) out += "  stack overflow: the stack pointer ran below the stack\n";
    char text[64];
    for (size_t i = 0; i < trace.frames.size(); ++i) {
        const Frame &frame = trace.frames[i];
        if (trace.elided && i == trace.innermost)
            out += "  ... " + std::to_string(trace.elided) + " frames not shown ...\n";
        size_t number = i < trace.innermost ? i : i + trace.elided;
        std::snprintf(text, sizeof text, "  #%zu 0x%08x", number, frame.pc);
        out += text;
        if (frame.outside_image) {
            out += " (outside the image)\n";
            continue;
        }
        if (!frame.place.function.empty()) {
            out += ' ' + frame.place.function;
            if (frame.place.offset) {
                std::snprintf(text, sizeof text, "+0x%x", frame.place.offset);
                out += text;
            }
        }
        if (frame.place.line > 0)
            out += " (" + frame.place.file + ':' + std::to_string(frame.place.line) + ')';
        out += '\n';
    }
    return out;
}

} // namespace vekos::debug
