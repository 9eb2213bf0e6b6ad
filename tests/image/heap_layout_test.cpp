// The heap's arena lives in zero-initialised memory: it costs the image file nothing.
#include "elf_file.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(HeapLayout, ArenaIsAMebibyteOfBssThatTheFileDoesNotCarry) {
    for (const char *path : {VEKOS_TEST_IMAGE, VEKOS_CP_IMAGE}) {
        SCOPED_TRACE(path);
        ElfFile image(path);
        std::optional<Elf32_Sym> heap = image.symbol("g_heap");
        ASSERT_TRUE(heap) << "g_heap is missing";
        EXPECT_EQ(heap->st_size, 0x100000u);
        EXPECT_EQ(heap->st_value % 8, 0u) << "the arena is 8-byte aligned";
        const Elf32_Shdr section = image.sections().at(heap->st_shndx);
        EXPECT_EQ(image.section_name(section), ".bss");
        EXPECT_EQ(section.sh_type, uint32_t(SHT_NOBITS)) << "bss takes no bytes in the file";
        EXPECT_LT(std::filesystem::file_size(path), 0x100000u) << "the file carries the arena";
    }
}

} // namespace
