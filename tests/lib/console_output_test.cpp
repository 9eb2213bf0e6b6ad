// Console output through the stream record: which write traps each call makes.
#include "lib_fixture.h"

namespace {

using ConsoleOutput = LibFixture;

TEST_F(ConsoleOutput, PutsIsTwoWritesToDescriptorOne) {
    EXPECT_EQ(call("puts", {str("hi")}), 0u);
    EXPECT_EQ(describe(traps()), "write(1, \"hi\", 2) = 2; write(1, \"\\n\", 1) = 1");

    clear_traps();
    EXPECT_EQ(call("puts", {str("")}), 0u);
    EXPECT_EQ(describe(traps()), "write(1, \"\\n\", 1) = 1") << "an empty line is the newline";

    clear_traps();
    EXPECT_EQ(as_int(call("puts", {0})), -1);
    EXPECT_EQ(describe(traps()), "");
}

TEST_F(ConsoleOutput, StderrAndStdoutShareTheConsoleInCallOrder) {
    uint32_t out = read_u32(symbol("stdout")), err = read_u32(symbol("stderr"));
    EXPECT_EQ(as_int(call("fputs", {str("one "), err})), 4);
    EXPECT_EQ(as_int(call("fputs", {str("two "), out})), 4);
    EXPECT_EQ(call("fputc", {'3', err}), uint32_t('3'));
    EXPECT_EQ(describe(traps()),
              "write(1, \"one \", 4) = 4; write(1, \"two \", 4) = 4; write(1, \"3\", 1) = 1");
    EXPECT_EQ(console(), "one two 3");
}

TEST_F(ConsoleOutput, OnlyDescriptorOneIsWritable) {
    uint32_t in = read_u32(symbol("stdin"));
    EXPECT_EQ(as_int(call("fputc", {'A', in})), -1);
    EXPECT_EQ(as_int(call("fputs", {str("x"), in})), -1);
    EXPECT_EQ(as_int(call("fputs", {str(""), in})), 0) << "a zero-length write always succeeds";
    EXPECT_EQ(call("fwrite", {str("abc"), 1, 3, in}), 0u);
    EXPECT_EQ(describe(traps()), "");
}

TEST_F(ConsoleOutput, StandardStreamPointersAreReadAtEachCall) {
    uint32_t stdout_variable = symbol("stdout");
    uint32_t in = read_u32(symbol("stdin"));
    write_u32(stdout_variable, in);
    EXPECT_EQ(as_int(call("puts", {str("lost")})), -1) << "stdout now reads descriptor 0";
    EXPECT_EQ(as_int(call("putchar", {'x'})), -1);
    write_u32(stdout_variable, symbol("g_stdout"));
    EXPECT_EQ(call("putchar", {'x'}), uint32_t('x'));
    EXPECT_EQ(console(), "x");
}

TEST_F(ConsoleOutput, FputcWritesTheLowByteAndReturnsItsArgument) {
    uint32_t out = read_u32(symbol("stdout"));
    EXPECT_EQ(call("fputc", {0x141, out}), 0x141u);
    EXPECT_EQ(as_int(call("fputc", {uint32_t(-1), out})), -1) << "0xFF written, -1 returned";
    EXPECT_EQ(call("putchar", {0x7a}), 0x7au);
    EXPECT_EQ(escaped(console()), escaped("A\xffz"));
}

TEST_F(ConsoleOutput, FwriteIsAllOrNothing) {
    uint32_t out = read_u32(symbol("stdout"));
    uint32_t data = str("abcdefghijkl");
    EXPECT_EQ(call("fwrite", {data, 4, 3, out}), 3u);
    EXPECT_EQ(describe(traps()), "write(1, \"abcdefghijkl\", 12) = 12") << "one write for all";

    clear_traps();
    script_trap(VEKOS_TRAP_WRITE, {-1});
    EXPECT_EQ(call("fwrite", {data, 4, 3, out}), 0u);
    script_trap(VEKOS_TRAP_WRITE, {4, 0});
    EXPECT_EQ(call("fwrite", {data, 4, 3, out}), 0u)
        << "one element reached the console before the failure: still 0, never 1";

    clear_traps();
    EXPECT_EQ(call("fwrite", {data, 0x10000, 0x10000, out}), 0u) << "size times count overflows";
    EXPECT_EQ(call("fwrite", {data, 0, 3, out}), 0u);
    EXPECT_EQ(call("fwrite", {data, 4, 0, out}), 0u);
    EXPECT_EQ(call("fwrite", {0, 4, 3, out}), 0u);
    EXPECT_EQ(call("fwrite", {data, 4, 3, 0}), 0u);
    EXPECT_EQ(describe(traps()), "");
}

TEST_F(ConsoleOutput, PartialWritesContinueAndAStalledWriteFails) {
    uint32_t out = read_u32(symbol("stdout"));
    uint32_t data = str("abcdefgh");
    script_trap(VEKOS_TRAP_WRITE, {3, 5});
    EXPECT_EQ(as_int(call("fputs", {data, out})), 8);
    EXPECT_EQ(describe(traps()), "write(1, \"abcdefgh\", 8) = 3; write(1, \"defgh\", 5) = 5");

    clear_traps();
    script_trap(VEKOS_TRAP_WRITE, {3, 0});
    EXPECT_EQ(as_int(call("fputs", {data, out})), -1) << "no progress ends the call";
    EXPECT_EQ(traps().size(), 2u);

    clear_traps();
    script_trap(VEKOS_TRAP_WRITE, {-1});
    EXPECT_EQ(as_int(call("puts", {data})), -1);
    EXPECT_EQ(traps().size(), 1u) << "no newline after a failed string";

    clear_traps();
    script_trap(VEKOS_TRAP_WRITE, {8, -1});
    EXPECT_EQ(as_int(call("puts", {data})), -1) << "the string went out, the newline failed";
    EXPECT_EQ(traps().size(), 2u);
}

TEST_F(ConsoleOutput, HugeLengthsReachTheKernelClampedAndInPieces) {
    // The kernel is scripted to accept everything, so the bytes themselves are never read.
    uint32_t out = read_u32(symbol("stdout"));
    uint32_t data = str("x");
    script_trap(VEKOS_TRAP_WRITE, [](const TrapRecord &trap) { return int32_t(trap.args[2]); });
    EXPECT_EQ(as_int(call("file_write_bytes", {out, data, 0x80000005u})), 0);
    ASSERT_EQ(traps().size(), 2u);
    EXPECT_EQ(traps()[0].args[2], 0x7fffffffu) << "first piece clamped";
    EXPECT_EQ(traps()[1].args[1], data + 0x7fffffffu) << "second piece starts after it";
    EXPECT_EQ(traps()[1].args[2], 6u);
}

TEST_F(ConsoleOutput, NullArgumentsAndNoOps) {
    uint32_t out = read_u32(symbol("stdout"));
    uint32_t data = str("abc");
    EXPECT_EQ(as_int(call("file_write_bytes", {0, data, 3})), -1);
    EXPECT_EQ(as_int(call("file_write_bytes", {out, 0, 3})), -1);
    EXPECT_EQ(as_int(call("file_write_bytes", {out, data, 0})), 0);
    EXPECT_EQ(as_int(call("file_write_bytes", {out, 0, 0})), -1)
        << "a null buffer fails even for zero bytes";
    EXPECT_EQ(as_int(call("file_write_bytes", {0, data, 0})), -1)
        << "a null stream fails even for zero bytes";
    EXPECT_EQ(as_int(call("fputs", {0, out})), -1);
    EXPECT_EQ(as_int(call("fputs", {str(""), 0})), -1) << "a null stream fails even when empty";
    EXPECT_EQ(as_int(call("fputc", {'a', 0})), -1);
    EXPECT_EQ(call("fflush", {0}), 0u);
    EXPECT_EQ(call("fflush", {out}), 0u);
    call("setbuf", {out, 0});
    EXPECT_EQ(describe(traps()), "");
}

TEST_F(ConsoleOutput, StandardStreamRecordsStartAsDescriptorStreams) {
    struct Stream {
        const char *pointer, *record;
        uint32_t fd;
    } streams[] = {{"stdin", "g_stdin", 0}, {"stdout", "g_stdout", 1}, {"stderr", "g_stderr", 1}};
    for (const Stream &s : streams) {
        uint32_t record = symbol(s.record);
        EXPECT_EQ(read_u32(symbol(s.pointer)), record) << s.pointer;
        std::vector<uint32_t> fields;
        for (uint32_t i = 0; i < library_abi::kFileFields; i++)
            fields.push_back(read_u32(record + 4 * i));
        std::vector<uint32_t> expected = {
            library_abi::stream_kind::fd, s.fd, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(fields, expected) << s.record << ": kind, fd, then nine zero fields";
    }
}

} // namespace
