// The loader refuses every malformed image with one reason, through the API and through
// vekos-emu (status 127, one line on stderr naming the file).
#include "guest.h"
#include "loader/elf_image.h"
#include "subprocess.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstring>
#include <functional>

namespace {

using vekos::Image;
using namespace std::string_view_literals;

// A valid image: code R+X at 0x400000, read-only data, then data+bss.
struct ElfBuilder {
    Elf32_Ehdr eh{};
    std::vector<Elf32_Phdr> ph;
    size_t truncate_to = 0;

    ElfBuilder() {
        std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
        eh.e_ident[EI_CLASS] = ELFCLASS32;
        eh.e_ident[EI_DATA] = ELFDATA2LSB;
        eh.e_ident[EI_VERSION] = EV_CURRENT;
        eh.e_type = ET_EXEC;
        eh.e_machine = EM_386;
        eh.e_version = EV_CURRENT;
        eh.e_entry = 0x400000;
        eh.e_phoff = sizeof(Elf32_Ehdr);
        eh.e_ehsize = sizeof(Elf32_Ehdr);
        eh.e_phentsize = sizeof(Elf32_Phdr);
        ph.push_back(segment(0x1000, 0x400000, 0x10, 0x10, PF_R | PF_X));
        ph.push_back(segment(0x2000, 0x401000, 0x10, 0x10, PF_R));
        ph.push_back(segment(0x3000, 0x402000, 0x10, 0x2000, PF_R | PF_W));
    }
    static Elf32_Phdr segment(uint32_t offset, uint32_t vaddr, uint32_t filesz, uint32_t memsz,
                              uint32_t flags) {
        return {PT_LOAD, offset, vaddr, vaddr, filesz, memsz, flags, 0x1000};
    }
    std::vector<uint8_t> bytes() {
        eh.e_phnum = uint16_t(ph.size());
        std::vector<uint8_t> file(0x3010, 0x90);
        std::memcpy(file.data(), &eh, sizeof eh);
        std::memcpy(file.data() + sizeof eh, ph.data(), ph.size() * sizeof(Elf32_Phdr));
        if (truncate_to) file.resize(truncate_to);
        return file;
    }
};

struct Case {
    const char *what;
    std::function<void(ElfBuilder &)> damage;
    const char *reason;
};

const std::vector<Case> &bad_images() {
    static const std::vector<Case> cases = {
        {"truncated header", [](ElfBuilder &b) { b.truncate_to = 40; }, "truncated ELF header"},
        {"not ELF", [](ElfBuilder &b) { b.eh.e_ident[1] = 'X'; }, "not an ELF file"},
        {"64-bit class", [](ElfBuilder &b) { b.eh.e_ident[EI_CLASS] = ELFCLASS64; },
         "not a 32-bit ELF file"},
        {"big-endian", [](ElfBuilder &b) { b.eh.e_ident[EI_DATA] = ELFDATA2MSB; },
         "not little-endian"},
        {"version", [](ElfBuilder &b) { b.eh.e_version = 7; }, "unknown ELF version"},
        {"x86-64 machine", [](ElfBuilder &b) { b.eh.e_machine = EM_X86_64; },
         "not an i386 program"},
        {"shared object", [](ElfBuilder &b) { b.eh.e_type = ET_DYN; },
         "not an executable (ET_EXEC)"},
        {"headers past the end", [](ElfBuilder &b) { b.eh.e_phoff = 0x3000; },
         "program headers outside the file"},
        {"header offset wraps", [](ElfBuilder &b) { b.eh.e_phoff = 0xFFFFFFF0; },
         "program headers outside the file"},
        {"hostile header count",
         [](ElfBuilder &b) { b.ph.resize(65, ElfBuilder::segment(0, 0x400000, 0, 0, 0)); },
         "too many program headers"},
        {"header size", [](ElfBuilder &b) { b.eh.e_phentsize = 40; }, "bad program header size"},
        {"segment past the end", [](ElfBuilder &b) { b.ph[1].p_filesz = 0x5000; },
         "segment 1 lies outside the file"},
        {"segment offset wraps", [](ElfBuilder &b) { b.ph[1].p_offset = 0xFFFFFFF8; },
         "segment 1 lies outside the file"},
        {"filesz above memsz", [](ElfBuilder &b) { b.ph[2].p_memsz = 8; },
         "segment 2 has filesz above memsz"},
        {"segment in page 0", [](ElfBuilder &b) { b.ph[0].p_vaddr = 0x10; },
         "segment 0 lies outside the user address range"},
        {"segment over the stack", [](ElfBuilder &b) { b.ph[2].p_vaddr = 0xBEFFF000; },
         "segment 2 lies outside the user address range"},
        {"segment wraps 4 GiB", [](ElfBuilder &b) { b.ph[2].p_vaddr = 0xFFFFF000; },
         "segment 2 lies outside the user address range"},
        {"overlap in one page", [](ElfBuilder &b) { b.ph[1].p_vaddr = 0x400800; },
         "segment 1 overlaps segment 0"},
        {"overlap of whole pages", [](ElfBuilder &b) { b.ph[2].p_vaddr = 0x3FF000; },
         "segment 2 overlaps segment 0"},
        {"entry in read-only data", [](ElfBuilder &b) { b.eh.e_entry = 0x401000; },
         "entry point is not in an executable segment"},
        {"entry outside every segment", [](ElfBuilder &b) { b.eh.e_entry = 0x500000; },
         "entry point is not in an executable segment"},
        {"no loadable segment",
         [](ElfBuilder &b) {
             for (auto &p : b.ph) p.p_type = PT_NOTE;
         },
         "no loadable segment"},
        {"huge bss", [](ElfBuilder &b) { b.ph[2].p_memsz = 0x20000000; }, "image too large"},
    };
    return cases;
}

TEST(ElfImage, AcceptsTheThreeSegmentLayout) {
    ElfBuilder b;
    auto result = vekos::parse_elf_image(b.bytes());
    ASSERT_TRUE(result) << "expected an image, got: " << result.error();
    const Image &image = *result;
    EXPECT_EQ(image.entry, 0x400000u);
    ASSERT_EQ(image.segments.size(), 3u);
    EXPECT_EQ(image.segments[0].prot, uint32_t(vekos::kProtRead | vekos::kProtExec));
    EXPECT_EQ(image.segments[2].memsz, 0x2000u);
    EXPECT_EQ(image.segments[2].bytes.size(), 0x10u) << "only filesz bytes come from the file";
}

TEST(ElfImage, RefusesEachMalformedImageWithItsReason) {
    for (const Case &c : bad_images()) {
        ElfBuilder b;
        c.damage(b);
        auto result = vekos::parse_elf_image(b.bytes());
        if (!result)
            EXPECT_EQ(result.error(), c.reason) << c.what;
        else
            ADD_FAILURE() << c.what << ": expected refusal '" << c.reason << "', got an image";
    }
}

TEST(ElfImage, VekosEmuReportsABadImageInOneLineWithStatus127) {
    TempRoot root;
    for (const Case &c : bad_images()) {
        ElfBuilder b;
        c.damage(b);
        auto bytes = b.bytes();
        root.write_file("bad.uelf", std::string(bytes.begin(), bytes.end()));
        Finished f = run_command({VEKOS_EMU, "--root", root.path(), "bad.uelf"});
        EXPECT_EQ(f.status, 127) << c.what;
        EXPECT_EQ(f.err, std::string("vekos-emu: bad.uelf: ") + c.reason + "\n") << c.what;
        EXPECT_EQ(f.out, "") << c.what;
    }
}

TEST(ElfImage, FlatImagesRunFromTheirFirstByteAndAreSizeLimited) {
    auto image = vekos::parse_flat_image({0x90, 0xc3});
    ASSERT_TRUE(image) << "expected an image, got: " << image.error();
    EXPECT_EQ(image->entry, vekos::kFlatBase);
    EXPECT_FALSE(vekos::parse_flat_image({})) << "an empty flat image is refused";
    EXPECT_FALSE(vekos::parse_flat_image(std::vector<uint8_t>(vekos::kFlatRegionSize + 1)))
        << "over 1 MiB is refused";
}

TEST(ElfImage, SymbolsNameTheNearestPrecedingSymbol) {
    vekos::SymbolTable::Builder builder;
    auto base = builder.add_names("\0strlen\0main\0unended"sv);
    ASSERT_TRUE(base);
    EXPECT_TRUE(builder.add(*base + 1, 0x400100, 0x20));
    EXPECT_TRUE(builder.add(*base + 8, 0x400000, 0x40));
    EXPECT_TRUE(builder.add(*base + 13, 0x400200, 0));
    EXPECT_FALSE(builder.add(*base + 20, 0x400300, 0)) << "a name past the names is refused";
    vekos::SymbolTable table = builder.finish();
    EXPECT_EQ(table.describe(0x400113), "strlen+0x13");
    EXPECT_EQ(table.describe(0x400000), "main");
    EXPECT_EQ(table.describe(0x400201), "unended+0x1") << "a name may end with its table";
    EXPECT_EQ(table.describe(0x3fffff), "") << "nothing precedes the first symbol";
    EXPECT_EQ(table.address_of("strlen"), 0x400100u);
    EXPECT_FALSE(table.address_of("nothere"));
}

// Appends a string table holding one name of `length` bytes, and `count` symbols all naming
// it: every symbol costs the file 16 bytes, whatever the name's length.
void add_repeated_symbol(ElfBuilder &b, std::vector<uint8_t> &file, size_t length, size_t count) {
    std::vector<uint8_t> names(length + 2, 'f');
    names.front() = names.back() = 0;
    std::vector<Elf32_Sym> symbols(count);
    for (Elf32_Sym &sym : symbols)
        sym = {1, 0x400000, 0x10, ELF32_ST_INFO(STB_GLOBAL, STT_FUNC), 0, 1};
    Elf32_Shdr sections[3] = {};
    sections[1] = {
        0, SHT_SYMTAB,       0, 0, uint32_t(file.size()), uint32_t(count * sizeof(Elf32_Sym)), 2, 0,
        4, sizeof(Elf32_Sym)};
    file.insert(file.end(), reinterpret_cast<uint8_t *>(symbols.data()),
                reinterpret_cast<uint8_t *>(symbols.data() + count));
    sections[2] = {0, SHT_STRTAB, 0, 0, uint32_t(file.size()), uint32_t(names.size()), 0, 0, 1, 0};
    file.insert(file.end(), names.begin(), names.end());
    b.eh.e_shoff = uint32_t(file.size());
    b.eh.e_shnum = 3;
    b.eh.e_shentsize = sizeof(Elf32_Shdr);
    std::memcpy(file.data(), &b.eh, sizeof b.eh);
    file.insert(file.end(), reinterpret_cast<uint8_t *>(sections),
                reinterpret_cast<uint8_t *>(sections + 3));
}

// Heap bytes allocated, small blocks and mapped ones.
size_t heap_in_use() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// 140 KB whose 5000 symbols all name one 64 KB name: 320 MB if each symbol held its own copy.
TEST(ElfImage, SymbolsOfAnImageTakeBoundedMemory) {
    ElfBuilder b;
    std::vector<uint8_t> file = b.bytes();
    add_repeated_symbol(b, file, 65535, 5000);
    size_t before = heap_in_use();
    auto image = vekos::parse_elf_image(file);
    size_t grown = heap_in_use() - before;
    ASSERT_TRUE(image) << "expected an image, got: " << image.error();
    EXPECT_LT(grown, size_t(4 << 20))
        << "bytes taken by parsing a " << file.size() << "-byte image";
    EXPECT_EQ(image->symbols.size(), 5000u);
    EXPECT_EQ(image->symbols.describe(0x400000),
              std::string(vekos::SymbolTable::kMaxNameLength, 'f'))
        << "expected the long name cut at kMaxNameLength";
    vekos::SymbolTable copy = image->symbols;
    EXPECT_EQ(copy[0].name.data(), image->symbols[0].name.data()) << "copies share the names";

    ElfBuilder many;
    std::vector<uint8_t> crowded = many.bytes();
    add_repeated_symbol(many, crowded, 4, vekos::SymbolTable::kMaxSymbols + 10);
    auto capped = vekos::parse_elf_image(crowded);
    ASSERT_TRUE(capped) << "expected an image, got: " << capped.error();
    EXPECT_EQ(capped->symbols.size(), vekos::SymbolTable::kMaxSymbols)
        << "symbols past the cap are dropped";
}

} // namespace
