#include "loader/elf_image.h"

#include "machine/guest_memory.h"

#include <elf.h>

#include <cstring>
#include <optional>
#include <string_view>

namespace vekos {
namespace {

constexpr uint32_t kMaxProgramHeaders = 64;
constexpr uint32_t kMaxSections = 4096;

Failure numbered(const char *what, size_t index, const char *problem) {
    return {std::string(what) + " " + std::to_string(index) + " " + problem};
}

// True when [offset, offset + size) lies inside a file of `file_size` bytes.
bool inside(uint64_t offset, uint64_t size, uint64_t file_size) {
    return offset <= file_size && size <= file_size - offset;
}

template <typename T> T at(const std::vector<uint8_t> &file, uint64_t offset) {
    T value;
    std::memcpy(&value, file.data() + offset, sizeof value);
    return value;
}

uint64_t page_down(uint64_t a) {
    return a & ~uint64_t(kPageSize - 1);
}
uint64_t page_up(uint64_t a) {
    return page_down(a + kPageSize - 1);
}

// Symbols are for diagnostics only: a damaged table is ignored rather than refused. Each
// string table is kept once, however many symbol tables name it.
SymbolTable read_symbols(const std::vector<uint8_t> &file, const Elf32_Ehdr &eh) {
    SymbolTable::Builder builder;
    if (eh.e_shoff == 0 || eh.e_shnum == 0 || eh.e_shnum > kMaxSections ||
        eh.e_shentsize != sizeof(Elf32_Shdr) ||
        !inside(eh.e_shoff, uint64_t(eh.e_shnum) * sizeof(Elf32_Shdr), file.size()))
        return builder.finish();
    std::vector<std::optional<uint32_t>> bases(eh.e_shnum); // of string tables added
    bool full = false;
    for (uint32_t i = 0; i < eh.e_shnum && !full; i++) {
        auto sh = at<Elf32_Shdr>(file, eh.e_shoff + uint64_t(i) * sizeof(Elf32_Shdr));
        if (sh.sh_type != SHT_SYMTAB || sh.sh_entsize != sizeof(Elf32_Sym) ||
            sh.sh_link >= eh.e_shnum || !inside(sh.sh_offset, sh.sh_size, file.size()))
            continue;
        auto strtab = at<Elf32_Shdr>(file, eh.e_shoff + uint64_t(sh.sh_link) * sizeof(Elf32_Shdr));
        if (!inside(strtab.sh_offset, strtab.sh_size, file.size())) continue;
        std::string_view names(reinterpret_cast<const char *>(file.data() + strtab.sh_offset),
                               strtab.sh_size);
        std::optional<uint32_t> &base = bases[sh.sh_link];
        if (!base) base = builder.add_names(names);
        if (!base) continue;
        for (uint64_t off = 0; off + sizeof(Elf32_Sym) <= sh.sh_size && !full;
             off += sizeof(Elf32_Sym)) {
            auto sym = at<Elf32_Sym>(file, sh.sh_offset + off);
            int type = ELF32_ST_TYPE(sym.st_info);
            if ((type != STT_FUNC && type != STT_OBJECT && type != STT_NOTYPE) ||
                sym.st_shndx == SHN_UNDEF || sym.st_name >= names.size())
                continue;
            // NOTYPE symbols are usually labels and section markers; keep only real names.
            char first = names[sym.st_name];
            if (first == '\0' || (type == STT_NOTYPE && first == '.')) continue;
            full = !builder.add(*base + sym.st_name, sym.st_value, sym.st_size);
        }
    }
    return builder.finish();
}

} // namespace

Result<Image> parse_elf_image(const std::vector<uint8_t> &file) {
    if (file.size() > kMaxImageFile) return Failure{"file too large"};
    if (file.size() < sizeof(Elf32_Ehdr)) return Failure{"truncated ELF header"};
    auto eh = at<Elf32_Ehdr>(file, 0);
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) return Failure{"not an ELF file"};
    if (eh.e_ident[EI_CLASS] != ELFCLASS32) return Failure{"not a 32-bit ELF file"};
    if (eh.e_ident[EI_DATA] != ELFDATA2LSB) return Failure{"not little-endian"};
    if (eh.e_ident[EI_VERSION] != EV_CURRENT || eh.e_version != EV_CURRENT)
        return Failure{"unknown ELF version"};
    if (eh.e_machine != EM_386) return Failure{"not an i386 program"};
    if (eh.e_type != ET_EXEC) return Failure{"not an executable (ET_EXEC)"};
    if (eh.e_phnum == 0) return Failure{"no program headers"};
    if (eh.e_phnum > kMaxProgramHeaders) return Failure{"too many program headers"};
    if (eh.e_phentsize != sizeof(Elf32_Phdr)) return Failure{"bad program header size"};
    if (!inside(eh.e_phoff, uint64_t(eh.e_phnum) * sizeof(Elf32_Phdr), file.size()))
        return Failure{"program headers outside the file"};

    Image image;
    std::vector<size_t> header_index; // program header number of each segment, for messages
    uint64_t total = 0;
    for (size_t i = 0; i < eh.e_phnum; i++) {
        auto ph = at<Elf32_Phdr>(file, eh.e_phoff + i * sizeof(Elf32_Phdr));
        if (ph.p_type != PT_LOAD) continue;
        if (!inside(ph.p_offset, ph.p_filesz, file.size()))
            return numbered("segment", i, "lies outside the file");
        if (ph.p_filesz > ph.p_memsz) return numbered("segment", i, "has filesz above memsz");
        if (ph.p_memsz == 0) continue;
        uint64_t begin = ph.p_vaddr, end = uint64_t(ph.p_vaddr) + ph.p_memsz;
        if (begin < kUserBase || end > kUserLimit)
            return numbered("segment", i, "lies outside the user address range");
        total += page_up(end) - page_down(begin);
        if (total > kMaxImageMemory) return Failure{"image too large"};
        for (size_t j = 0; j < image.segments.size(); j++) {
            const Segment &other = image.segments[j];
            uint64_t other_end = page_up(uint64_t(other.vaddr) + other.memsz);
            if (page_down(begin) < other_end && page_down(other.vaddr) < page_up(end))
                return Failure{"segment " + std::to_string(i) + " overlaps segment " +
                               std::to_string(header_index[j])};
        }
        uint32_t prot = ((ph.p_flags & PF_R) ? uint32_t(kProtRead) : 0u) |
                        ((ph.p_flags & PF_W) ? uint32_t(kProtWrite) : 0u) |
                        ((ph.p_flags & PF_X) ? uint32_t(kProtExec) : 0u);
        auto bytes = file.begin() + ph.p_offset;
        image.segments.push_back(
            {ph.p_vaddr, ph.p_memsz, prot, std::vector<uint8_t>(bytes, bytes + ph.p_filesz)});
        header_index.push_back(i);
    }
    if (image.segments.empty()) return Failure{"no loadable segment"};
    bool entry_ok = false;
    for (const Segment &s : image.segments)
        if ((s.prot & kProtExec) && eh.e_entry >= s.vaddr &&
            uint64_t(eh.e_entry) < uint64_t(s.vaddr) + s.memsz)
            entry_ok = true;
    if (!entry_ok) return Failure{"entry point is not in an executable segment"};
    image.entry = eh.e_entry;
    image.symbols = read_symbols(file, eh);
    return image;
}

Result<Image> parse_flat_image(const std::vector<uint8_t> &file) {
    if (file.empty()) return Failure{"empty flat image"};
    if (file.size() > kFlatRegionSize) return Failure{"flat image larger than 1 MiB"};
    Image image;
    image.segments.push_back(
        {kFlatBase, kFlatRegionSize, kProtRead | kProtWrite | kProtExec, file});
    image.entry = kFlatBase;
    return image;
}

} // namespace vekos
