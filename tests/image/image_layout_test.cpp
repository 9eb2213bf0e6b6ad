// The layout every vekos image shares, and the run command's metadata records.
#include "elf_file.h"

#include <gtest/gtest.h>

namespace {

const std::string root_bin = VEKOS_ROOT_BIN;

std::string printable(const std::vector<uint8_t> &bytes) {
    std::string out;
    for (uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7f)
            out += char(b);
        else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        }
    }
    return out;
}

class EveryImage : public testing::TestWithParam<std::string> {};

TEST_P(EveryImage, IsAStaticI386ExecutableEnteredAtItsFirstCodeByte) {
    ElfFile elf(GetParam());
    const Elf32_Ehdr &h = elf.header();
    EXPECT_EQ(h.e_ident[EI_CLASS], ELFCLASS32);
    EXPECT_EQ(h.e_ident[EI_DATA], ELFDATA2LSB);
    EXPECT_EQ(h.e_machine, EM_386);
    EXPECT_EQ(h.e_type, ET_EXEC);
    EXPECT_EQ(h.e_entry, 0x400000u);
    std::optional<Elf32_Sym> start = elf.symbol("_start");
    ASSERT_TRUE(start) << "the symbol table must be kept and name _start";
    EXPECT_EQ(start->st_value, 0x400000u);
}

TEST_P(EveryImage, HasCodeThenReadOnlyThenWritableSegmentsOnPageBoundaries) {
    ElfFile elf(GetParam());
    std::vector<Elf32_Phdr> loads;
    for (const Elf32_Phdr &p : elf.segments()) {
        EXPECT_NE(p.p_type, uint32_t(PT_INTERP)) << "static images have no interpreter";
        EXPECT_NE(p.p_type, uint32_t(PT_DYNAMIC));
        if (p.p_type == PT_LOAD) loads.push_back(p);
    }
    ASSERT_EQ(loads.size(), 3u) << "expected code, read-only data and writable data";
    EXPECT_EQ(loads[0].p_vaddr, 0x400000u);
    const uint32_t expected_flags[] = {PF_R | PF_X, PF_R, PF_R | PF_W};
    uint32_t end_of_previous = 0;
    for (size_t i = 0; i < loads.size(); i++) {
        EXPECT_EQ(loads[i].p_flags, expected_flags[i]) << "segment " << i;
        if (loads[i].p_memsz == 0) continue; // no constants, say: an empty header loaders skip
        EXPECT_EQ(loads[i].p_vaddr % 4096, 0u) << "segment " << i << " at " << loads[i].p_vaddr;
        EXPECT_GE(loads[i].p_vaddr, end_of_previous) << "segment " << i << " out of order";
        end_of_previous = loads[i].p_vaddr + loads[i].p_memsz;
    }
}

TEST_P(EveryImage, CarriesNoStartupRoutinesOrUnwindTables) {
    ElfFile elf(GetParam());
    for (const Elf32_Shdr &s : elf.sections()) {
        std::string name = elf.section_name(s);
        for (const char *banned : {".init_array", ".fini_array", ".ctors", ".dtors", ".init",
                                   ".eh_frame", ".eh_frame_hdr", ".gcc_except_table"})
            EXPECT_NE(name, banned);
    }
}

INSTANTIATE_TEST_SUITE_P(Images, EveryImage,
                         testing::Values(root_bin + "/run.uelf", root_bin + "/hello.uelf",
                                         root_bin + "/words.uelf", std::string(VEKOS_TEST_IMAGE)),
                         [](const testing::TestParamInfo<std::string> &info) {
                             std::string name = info.param.substr(info.param.rfind('/') + 1);
                             return name.substr(0, name.find('.'));
                         });

struct Record {
    const char *section;
    const char *symbol;
    uint32_t alignment;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> bytes_of(const char *text, size_t size) {
    return {text, text + size};
}

const Record records[] = {
    {".vekos.cmdmeta", "g_cmdmeta_0", 32,
     bytes_of("VCMD\x01\x00\x00\x00Run a native program, .uelf, or script.\0run <program> "
              "[args...]\0",
              73)},
    {".vekos.pkgmeta", "g_pkgmeta_0", 4, bytes_of("VPKG\x01\x00\x00\x00run\0003\0", 15)},
};

TEST(RunMetadata, RecordsAreTheWholeOfTheirSectionsByteForByte) {
    ElfFile elf(root_bin + "/run.uelf");
    for (const Record &record : records) {
        SCOPED_TRACE(record.section);
        std::optional<Elf32_Shdr> section = elf.section(record.section);
        ASSERT_TRUE(section) << "section missing";
        EXPECT_EQ(section->sh_type, uint32_t(SHT_PROGBITS));
        EXPECT_EQ(section->sh_flags, uint32_t(SHF_ALLOC)) << "allocated, not writable";
        EXPECT_EQ(section->sh_addralign, record.alignment);
        EXPECT_EQ(printable(elf.contents(*section)), printable(record.bytes));
        std::optional<Elf32_Sym> symbol = elf.symbol(record.symbol);
        ASSERT_TRUE(symbol);
        EXPECT_EQ(symbol->st_value, section->sh_addr);
        EXPECT_EQ(symbol->st_size, record.bytes.size());
    }
}

TEST(RunMetadata, StringWalkEndsAtTheEmptyStringOnTheSectionsLastByte) {
    ElfFile elf(root_bin + "/run.uelf");
    for (const Record &record : records) {
        std::vector<uint8_t> bytes = elf.contents(*elf.section(record.section));
        size_t at = 8; // magic and version
        size_t strings = 0;
        while (at < bytes.size() && bytes[at] != 0) {
            while (at < bytes.size() && bytes[at] != 0) at++;
            at++;
            strings++;
        }
        EXPECT_EQ(strings, 2u) << record.section;
        EXPECT_EQ(at, bytes.size() - 1) << record.section << ": the empty string must end it";
    }
}

TEST(RunMetadata, RecordsFollowTheConstantStringsInTheReadOnlySegment) {
    ElfFile elf(root_bin + "/run.uelf");
    Elf32_Phdr rodata{};
    int loads = 0;
    for (const Elf32_Phdr &p : elf.segments())
        if (p.p_type == PT_LOAD && loads++ == 1) rodata = p;
    Elf32_Shdr strings = *elf.section(".rodata");
    Elf32_Shdr command = *elf.section(".vekos.cmdmeta");
    Elf32_Shdr package = *elf.section(".vekos.pkgmeta");
    EXPECT_LT(strings.sh_addr, command.sh_addr);
    EXPECT_LT(command.sh_addr, package.sh_addr);
    EXPECT_GE(strings.sh_addr, rodata.p_vaddr);
    EXPECT_LE(package.sh_addr + package.sh_size, rodata.p_vaddr + rodata.p_filesz);
}

} // namespace

namespace {

TEST(ImageContents, ConsoleOnlyProgramsCarryNeitherTheHeapNorMemoryStreams) {
    for (const char *program : {"run.uelf", "hello.uelf"}) {
        ElfFile elf(root_bin + "/" + program);
        EXPECT_FALSE(elf.symbol("g_heap")) << program << " links the 1 MiB arena";
        EXPECT_FALSE(elf.symbol("_ZN5vekos20memory_stream_appendEP10vekos_filePKvj"))
            << program << " links the memory-stream code";
    }
    ElfFile cp(root_bin + "/cp.uelf");
    EXPECT_TRUE(cp.symbol("_ZN5vekos20memory_stream_appendEP10vekos_filePKvj"))
        << "cp writes through a write-file stream and needs the appending code";
}

} // namespace
