// The small shared things of vekos-emu: how reports escape guest bytes, the program kinds'
// messages, and the owner of host descriptors.
#include "common/escape.h"
#include "common/host_fd.h"
#include "loader/programs.h"

#include <gtest/gtest.h>

#include <fcntl.h>

namespace vekos {
namespace {

TEST(Escape, EachStyleShowsEveryByteOnOneLine) {
    const std::string_view bytes = "a \"q\"\\\n\t\r\x1b\x7f\xff";
    struct Case {
        Escapes style;
        const char *expected;
    };
    for (const Case &c : {Case{Escapes::Hex, "a \"q\"\\x5c\\x0a\\x09\\x0d\\x1b\\x7f\\xff"},
                          Case{Escapes::C, "a \"q\"\\\\\\n\\t\\r\\x1b\\x7f\\xff"},
                          Case{Escapes::Quoted, "a \\\"q\\\"\\\\\\n\\t\\r\\x1b\\x7f\\xff"}})
        EXPECT_EQ(escape_bytes(bytes, c.style), c.expected) << "style " << int(c.style);
}

TEST(ProgramKinds, MessagesNameEveryExtensionInOrder) {
    EXPECT_EQ(not_a_program(), "not a program (expected .uelf, .vek, .bin, .flat or .shell)");
    EXPECT_EQ(not_a_program(true), "not a program (expected .uelf, .vek, .bin or .flat)");
    EXPECT_EQ(program_kinds_summary(), ".uelf .vek .bin .flat, or a .shell script");
    EXPECT_EQ(program_kind("a/b.vek"), ProgramKind::Elf);
    EXPECT_EQ(program_kind("b.flat"), ProgramKind::Flat);
    EXPECT_EQ(program_kind("x.shell"), ProgramKind::Script);
    EXPECT_EQ(program_kind("x.shell/y"), std::nullopt) << "the dot must be in the last name";
    EXPECT_EQ(program_kind("x.uelfs"), std::nullopt) << "the whole extension must match";
}

// The descriptor is closed exactly once, by its last owner.
TEST(HostFd, MovingHandsOverTheDescriptor) {
    HostFd first(open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(first) << "cannot open /dev/null";
    const int fd = first.get();
    HostFd second(std::move(first));
    EXPECT_FALSE(first) << "the moved-from owner must hold nothing";
    EXPECT_EQ(second.get(), fd);
    HostFd third;
    third = std::move(second);
    EXPECT_EQ(third.get(), fd);
    EXPECT_NE(fcntl(fd, F_GETFD), -1) << "still open while owned";
    third.reset();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "reset must close it";
}

} // namespace
} // namespace vekos
