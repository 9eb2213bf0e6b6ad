#include "trace/trace_decode.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace vekos {
namespace {

TEST(TraceDecode, OpenFlagsMapBitsWhenceAndErrors) {
    struct FlagsCase {
        uint32_t flags;
        const char *expected;
    };
    const FlagsCase flags_cases[] = {
        {0, "O_RDONLY"},
        {1, "O_WRONLY"},
        {2, "O_RDWR"},
        {0x241, "O_WRONLY|O_CREAT|O_TRUNC"},
        {0x4c2, "O_RDWR|O_CREAT|O_EXCL|O_APPEND"},
        {0x100003, "O_ACCMODE|0x100000"},
    };
    for (const FlagsCase &c : flags_cases)
        EXPECT_EQ(describe_open_flags(c.flags), c.expected) << "flags 0x" << std::hex << c.flags;

    const FlagsCase map_cases[] = {
        {0, "PROT_NONE"},
        {7, "PROT_READ|PROT_WRITE|PROT_EXEC"},
        {0x22, "MAP_PRIVATE|MAP_ANONYMOUS"},
        {0x111, "MAP_SHARED|MAP_FIXED|0x100"},
    };
    for (const FlagsCase &c : map_cases) {
        std::string described =
            c.flags < 8 ? describe_map_prot(c.flags) : describe_map_flags(c.flags);
        EXPECT_EQ(described, c.expected) << "mmap bits 0x" << std::hex << c.flags;
    }

    EXPECT_EQ(describe_whence(0), "SEEK_SET");
    EXPECT_EQ(describe_whence(2), "SEEK_END");
    EXPECT_EQ(describe_whence(7), "7");
    EXPECT_EQ(describe_whence(-1), "-1");

    EXPECT_EQ(describe_errno(ENOENT), "no such file");
    EXPECT_EQ(describe_errno(EISDIR), "is a folder");
    EXPECT_EQ(describe_errno(ENOTDIR), "not a folder");
    EXPECT_EQ(describe_errno(EMFILE), "too many open files");
    EXPECT_EQ(describe_errno(4095), "error 4095");
}

} // namespace
} // namespace vekos
