// File streams: opening and closing, reading and positioning, with the traps each makes.
#include "lib_fixture.h"

#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

using namespace library_abi;

class FileStreams : public LibFixture {
  protected:
    void put_file(const std::string &name, std::string_view content) {
        std::ofstream(root() / name, std::ios::binary) << content;
    }
    std::string host_file(const std::string &name) {
        std::ifstream in(root() / name, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    uint32_t open(const std::string &path, const std::string &mode) {
        return call("fopen", {str(path), str(mode)});
    }
    uint32_t open_data(std::string_view content) {
        put_file("data.bin", content);
        uint32_t stream = open("/data.bin", "r");
        EXPECT_NE(stream, 0u) << "fopen(\"/data.bin\", \"r\")";
        clear_traps();
        return stream;
    }

    uint32_t field(uint32_t stream, uint32_t offset) { return read_u32(stream + offset); }
    uint32_t standard(const char *name) { return read_u32(symbol(name)); }

    // Trap numbers made since the last clear_traps(), oldest first.
    std::vector<uint32_t> trap_numbers() {
        std::vector<uint32_t> numbers;
        for (const TrapRecord &trap : traps()) numbers.push_back(trap.number);
        return numbers;
    }
    using Numbers = std::vector<uint32_t>;
};

TEST_F(FileStreams, DashOrNullPathSelectsTheCurrentStandardStream) {
    uint32_t in = standard("stdin"), out = standard("stdout");
    struct Case {
        const char *mode;
        uint32_t expected;
    } cases[] = {{"r", in},   {"rb", in}, {"r+", in}, {"w", out},
                 {"w+", out}, {"a", 0},   {"", 0},    {"x", 0}};
    for (const Case &c : cases) {
        EXPECT_EQ(open("-", c.mode), c.expected) << "fopen(\"-\", \"" << c.mode << "\")";
        EXPECT_EQ(call("fopen", {0, str(c.mode)}), c.expected)
            << "fopen(NULL, \"" << c.mode << "\")";
    }
    EXPECT_EQ(call("fopen", {str("-"), 0}), 0u) << "a null mode";
    EXPECT_EQ(open("--", "r"), 0u) << "only \"-\" itself is special";

    // The pointers are read at the time of the call.
    uint32_t other = alloc(44);
    write_u32(symbol("stdin"), other);
    EXPECT_EQ(open("-", "r"), other);
    EXPECT_EQ(read_u32(symbol("g_heap_used")), 0u) << "no record is made";
}

TEST_F(FileStreams, ModesOtherThanReadOrWriteOpenNothing) {
    put_file("there.txt", "x");
    for (const char *mode : {"", "a", "a+", "x", "R", "W"})
        EXPECT_EQ(open("/there.txt", mode), 0u) << "fopen(\"/there.txt\", \"" << mode << "\")";
    EXPECT_EQ(call("fopen", {str("/there.txt"), 0}), 0u);
    EXPECT_EQ(describe(traps()), "") << "nothing is asked of the kernel";
}

TEST_F(FileStreams, ReadModeOpensReadOnlyWhateverFollowsTheR) {
    put_file("data.bin", "abc");
    for (const char *mode : {"r", "rb", "r+", "rw"}) {
        clear_traps();
        uint32_t stream = open("/data.bin", mode);
        ASSERT_NE(stream, 0u) << mode;
        ASSERT_EQ(trap_numbers(), Numbers{VEKOS_TRAP_OPEN}) << mode;
        EXPECT_EQ(traps()[0].args[1], open_flag::read_only) << mode << ": read-only";
        EXPECT_EQ(field(stream, file_field::kind), stream_kind::fd) << mode;
        EXPECT_EQ(as_int(field(stream, file_field::fd)), traps()[0].result) << mode;
        EXPECT_EQ(call("fwrite", {str("zz"), 1, 2, stream}), 0u) << mode << ": not writable";
    }
    EXPECT_EQ(host_file("data.bin"), "abc");
}

TEST_F(FileStreams, MissingFileGivesNullAfterOneOpen) {
    EXPECT_EQ(open("/missing.txt", "r"), 0u);
    EXPECT_EQ(trap_numbers(), Numbers{VEKOS_TRAP_OPEN});
    EXPECT_EQ(read_u32(symbol("g_heap_used")), 0u) << "no record for a failed open";
}

TEST_F(FileStreams, WriteStreamStoresItsContentWholeAtClose) {
    uint32_t stream = open("/out.txt", "w");
    ASSERT_NE(stream, 0u);
    EXPECT_EQ(field(stream, file_field::kind), stream_kind::writefile);
    EXPECT_EQ(as_int(call("fputs", {str("hello, "), stream})), 7);
    EXPECT_EQ(call("fwrite", {buffer(std::string("fi\0le", 5)), 5, 1, stream}), 1u);
    EXPECT_EQ(call("fputc", {'\n', stream}), uint32_t('\n'));
    EXPECT_EQ(describe(traps()), "") << "nothing is touched before fclose";
    EXPECT_FALSE(fs::exists(root() / "out.txt"));

    EXPECT_EQ(call("fclose", {stream}), 0u);
    ASSERT_EQ(trap_numbers(), Numbers{VEKOS_TRAP_WRITEFILE}) << describe(traps());
    EXPECT_EQ(traps()[0].args[2], 13u);
    EXPECT_EQ(escaped(host_file("out.txt")), escaped(std::string("hello, fi\0le\n", 13)));
}

TEST_F(FileStreams, WriteStreamReplacesAnExistingFileOnlyAtClose) {
    put_file("old.txt", "previous content");
    uint32_t stream = open("/old.txt", "wb");
    ASSERT_NE(stream, 0u);
    EXPECT_EQ(as_int(call("fputs", {str("new"), stream})), 3);
    EXPECT_EQ(host_file("old.txt"), "previous content") << "not emptied by fopen";
    EXPECT_EQ(call("fclose", {stream}), 0u);
    EXPECT_EQ(host_file("old.txt"), "new");
}

TEST_F(FileStreams, WriteStreamClosedAtOnceStoresAnEmptyFile) {
    uint32_t stream = open("/empty.txt", "w");
    ASSERT_NE(stream, 0u);
    EXPECT_EQ(call("fclose", {stream}), 0u);
    ASSERT_EQ(trap_numbers(), Numbers{VEKOS_TRAP_WRITEFILE}) << describe(traps());
    EXPECT_NE(traps()[0].args[1], 0u) << "a real (empty) buffer, never null";
    EXPECT_EQ(traps()[0].args[2], 0u);
    ASSERT_TRUE(fs::exists(root() / "empty.txt"));
    EXPECT_EQ(fs::file_size(root() / "empty.txt"), 0u);
}

TEST_F(FileStreams, UnwritablePathShowsOnlyAtClose) {
    uint32_t stream = open("/no/such/folder/out.txt", "w");
    ASSERT_NE(stream, 0u) << "fopen for writing succeeds for any path";
    EXPECT_EQ(as_int(call("fputs", {str("lost"), stream})), 4);
    EXPECT_EQ(as_int(call("fclose", {stream})), -1);
    EXPECT_EQ(trap_numbers(), Numbers{VEKOS_TRAP_WRITEFILE});

    clear_traps();
    stream = open("/ok.txt", "w");
    script_trap(VEKOS_TRAP_WRITEFILE, {-1});
    EXPECT_EQ(as_int(call("fclose", {stream})), -1) << "a refused writefile";
    EXPECT_EQ(trap_numbers(), Numbers{VEKOS_TRAP_WRITEFILE});

    clear_traps();
    stream = open("/ok.txt", "w");
    write_u32(stream + file_field::path, 0);
    EXPECT_EQ(as_int(call("fclose", {stream})), -1) << "a write stream without a path";
    EXPECT_EQ(describe(traps()), "") << "nothing to store it at";
}

TEST_F(FileStreams, WriteStreamsCannotBeReadOrPositioned) {
    uint32_t stream = open("/out.txt", "w");
    ASSERT_NE(stream, 0u);
    ASSERT_EQ(as_int(call("fputs", {str("abc"), stream})), 3);
    uint32_t into = alloc(4);
    EXPECT_EQ(call("fread", {into, 1, 3, stream}), 0u);
    EXPECT_EQ(as_int(call("fgetc", {stream})), -1);
    EXPECT_EQ(field(stream, file_field::eof), 0u) << "failed reads leave end-of-file alone";
    EXPECT_EQ(as_int(call("fseek", {stream, 0, 0})), -1);
    EXPECT_EQ(as_int(call("ftell", {stream})), -1);
    EXPECT_EQ(describe(traps()), "");
}

TEST_F(FileStreams, FreadCountsWholeElementsAndSetsEndOfFileOnShortReads) {
    struct Case {
        uint32_t size, count;
        uint32_t result;
        uint32_t stored; // bytes read into the buffer, and added to pos
        bool eof;
    } cases[] = {
        {4, 10, 2, 10, true},   // a trailing partial element is stored but not counted
        {1, 10, 10, 10, false}, // exactly what was asked for
        {5, 2, 2, 10, false},   {3, 3, 3, 9, false},  {1, 11, 10, 10, true},
        {10, 1, 1, 10, false},  {11, 1, 0, 10, true},
    };
    const std::string content = "0123456789";
    for (const Case &c : cases) {
        SCOPED_TRACE("fread(buf, " + std::to_string(c.size) + ", " + std::to_string(c.count) +
                     ") of 10 bytes");
        uint32_t stream = open_data(content);
        uint32_t into = alloc(c.size * c.count, '.');
        EXPECT_EQ(call("fread", {into, c.size, c.count, stream}), c.result);
        EXPECT_EQ(read_bytes(into, c.stored), content.substr(0, c.stored));
        EXPECT_EQ(as_int(call("ftell", {stream})), int32_t(c.stored));
        EXPECT_EQ(call("feof", {stream}), c.eof ? 1u : 0u);
        ASSERT_EQ(trap_numbers(), Numbers{VEKOS_TRAP_READ}) << "one read, never retried";
        EXPECT_EQ(traps()[0].args[2], c.size * c.count);
        EXPECT_TRUE(canaries_intact());
    }
}

TEST_F(FileStreams, FreadAtTheEndSetsEndOfFileAndReadsAgainAfterIt) {
    uint32_t stream = open_data("abcd");
    uint32_t into = alloc(8);
    EXPECT_EQ(call("fread", {into, 2, 2, stream}), 2u);
    EXPECT_EQ(call("feof", {stream}), 0u) << "exactly what was asked: no end-of-file yet";
    EXPECT_EQ(call("fread", {into, 1, 1, stream}), 0u);
    EXPECT_EQ(call("feof", {stream}), 1u);
    EXPECT_EQ(call("fread", {into, 1, 1, stream}), 0u);
    EXPECT_EQ(trap_numbers(), (Numbers{VEKOS_TRAP_READ, VEKOS_TRAP_READ, VEKOS_TRAP_READ}))
        << "a set end-of-file doesn't stop reads";
    EXPECT_EQ(as_int(call("ftell", {stream})), 4);
}

TEST_F(FileStreams, FreadRefusesWithoutReading) {
    uint32_t stream = open_data("abcd");
    uint32_t into = alloc(8);
    struct Case {
        const char *what;
        std::vector<uint32_t> args;
    } cases[] = {
        {"null buffer", {0, 1, 4, stream}},
        {"null stream", {into, 1, 4, 0}},
        {"size 0", {into, 0, 4, stream}},
        {"count 0", {into, 4, 0, stream}},
        {"product beyond 32 bits", {into, 0x10000, 0x10000, stream}},
    };
    for (const Case &c : cases) EXPECT_EQ(call("fread", c.args), 0u) << c.what;
    EXPECT_EQ(describe(traps()), "");
    EXPECT_EQ(call("feof", {stream}), 0u);
}

TEST_F(FileStreams, FgetcReadsOneByteAtATime) {
    uint32_t stream = open_data("a\xff\0");
    EXPECT_EQ(as_int(call("ftell", {stream})), 0);
    EXPECT_EQ(as_int(call("fgetc", {stream})), 'a');
    EXPECT_EQ(as_int(call("ftell", {stream})), 1);
    EXPECT_EQ(as_int(call("fgetc", {stream})), 0xff) << "bytes come back as 0 to 255";
    EXPECT_EQ(as_int(call("fgetc", {stream})), -1) << "the file held only \"a\\xff\"";
    EXPECT_EQ(call("feof", {stream}), 1u);
    EXPECT_EQ(as_int(call("ftell", {stream})), 2);
    ASSERT_EQ(trap_numbers(), (Numbers{VEKOS_TRAP_READ, VEKOS_TRAP_READ, VEKOS_TRAP_READ}));
    for (const TrapRecord &trap : traps()) EXPECT_EQ(trap.args[2], 1u) << "one byte per read";

    put_file("zero.bin", std::string("\0", 1));
    uint32_t zero = open("/zero.bin", "r");
    EXPECT_EQ(as_int(call("fgetc", {zero})), 0);
    EXPECT_EQ(as_int(call("fgetc", {0})), -1);
}

TEST_F(FileStreams, FailingReadsSetEndOfFile) {
    uint32_t stream = open_data("abcdef");
    uint32_t into = alloc(4);
    script_trap(VEKOS_TRAP_READ, {-1, -5, 2});
    EXPECT_EQ(as_int(call("fgetc", {stream})), -1);
    EXPECT_EQ(call("feof", {stream}), 1u);
    EXPECT_EQ(call("fread", {into, 1, 4, stream}), 0u);
    EXPECT_EQ(as_int(call("ftell", {stream})), 0) << "failed reads consume nothing";
    EXPECT_EQ(call("fread", {into, 1, 4, stream}), 2u) << "a short answer counts";
    EXPECT_EQ(as_int(call("ftell", {stream})), 2);
}

TEST_F(FileStreams, GetcharReadsTheCurrentStdin) {
    guest().set_input("hi");
    EXPECT_EQ(as_int(call("getchar", {})), 'h');
    EXPECT_EQ(as_int(call("getchar", {})), 'i');
    EXPECT_EQ(as_int(call("getchar", {})), -1);
    uint32_t in = standard("stdin");
    EXPECT_EQ(call("feof", {in}), 1u);
    EXPECT_EQ(as_int(field(in, file_field::pos)), 2) << "pos counts even on descriptor 0";

    uint32_t stream = open_data("xy");
    write_u32(symbol("stdin"), stream);
    EXPECT_EQ(as_int(call("getchar", {})), 'x');
    write_u32(symbol("stdin"), 0);
    EXPECT_EQ(as_int(call("getchar", {})), -1) << "a null stdin";
}

TEST_F(FileStreams, FseekMovesTheDescriptorAndClearsEndOfFile) {
    uint32_t stream = open_data("0123456789");
    uint32_t into = alloc(16);
    ASSERT_EQ(call("fread", {into, 1, 16, stream}), 10u);
    ASSERT_EQ(call("feof", {stream}), 1u);
    write_u32(stream + file_field::error, 1);
    clear_traps();

    EXPECT_EQ(as_int(call("fseek", {stream, 3, 0})), 0);
    ASSERT_EQ(trap_numbers(), Numbers{VEKOS_TRAP_LSEEK});
    EXPECT_EQ(traps()[0].args[0], field(stream, file_field::fd));
    EXPECT_EQ(traps()[0].args[1], 3u);
    EXPECT_EQ(traps()[0].args[2], 0u);
    EXPECT_EQ(call("feof", {stream}), 0u);
    EXPECT_EQ(call("ferror", {stream}), 1u) << "fseek leaves the error indicator alone";
    EXPECT_EQ(as_int(call("ftell", {stream})), 3);
    EXPECT_EQ(as_int(call("fgetc", {stream})), '3');

    EXPECT_EQ(as_int(call("fseek", {stream, uint32_t(-2), 2})), 0) << "whence passed through";
    EXPECT_EQ(as_int(call("ftell", {stream})), 8) << "pos is the kernel's new offset";
    EXPECT_EQ(as_int(call("fgetc", {stream})), '8');
}

TEST_F(FileStreams, FailedFseekChangesNothing) {
    uint32_t stream = open_data("0123456789");
    ASSERT_EQ(as_int(call("fgetc", {stream})), '0');
    write_u32(stream + file_field::eof, 1);
    script_trap(VEKOS_TRAP_LSEEK, {-1});
    EXPECT_EQ(as_int(call("fseek", {stream, 5, 0})), -1);
    EXPECT_EQ(as_int(call("ftell", {stream})), 1);
    EXPECT_EQ(call("feof", {stream}), 1u);
}

TEST_F(FileStreams, RewindReturnsToTheStartAndClearsBothIndicators) {
    uint32_t stream = open_data("abc");
    uint32_t into = alloc(8);
    ASSERT_EQ(call("fread", {into, 1, 8, stream}), 3u);
    write_u32(stream + file_field::error, 1);
    clear_traps();
    call("rewind", {stream});
    ASSERT_EQ(trap_numbers(), Numbers{VEKOS_TRAP_LSEEK});
    EXPECT_EQ(traps()[0].args[1], 0u);
    EXPECT_EQ(traps()[0].args[2], 0u);
    EXPECT_EQ(as_int(call("ftell", {stream})), 0);
    EXPECT_EQ(call("feof", {stream}), 0u);
    EXPECT_EQ(call("ferror", {stream}), 0u);
    EXPECT_EQ(as_int(call("fgetc", {stream})), 'a');

    // A refused lseek keeps pos; the indicators are cleared all the same.
    write_u32(stream + file_field::eof, 1);
    script_trap(VEKOS_TRAP_LSEEK, {-1});
    call("rewind", {stream});
    EXPECT_EQ(as_int(call("ftell", {stream})), 1);
    EXPECT_EQ(call("feof", {stream}), 0u);
    call("rewind", {0}); // nothing happens
}

TEST_F(FileStreams, StandardDescriptorsHaveNoPosition) {
    uint32_t in = standard("stdin");
    EXPECT_EQ(as_int(call("ftell", {in})), -1);
    EXPECT_EQ(as_int(call("fseek", {in, 0, 0})), -1);
    EXPECT_EQ(as_int(call("fseek", {standard("stdout"), 0, 0})), -1);
    EXPECT_EQ(as_int(call("fseek", {0, 0, 0})), -1);
    EXPECT_EQ(as_int(call("ftell", {0})), -1);
    write_u32(in + file_field::eof, 1);
    call("rewind", {in});
    EXPECT_EQ(call("feof", {in}), 0u) << "rewind only clears the indicators";
    EXPECT_EQ(describe(traps()), "") << "no lseek on descriptors 0 to 2";

    // A read stream on descriptor 2 is positioned no more than the standard ones.
    uint32_t stream = open_data("abc");
    write_u32(stream + file_field::fd, 2);
    EXPECT_EQ(as_int(call("fseek", {stream, 1, 0})), -1);
    EXPECT_EQ(as_int(call("ftell", {stream})), -1);
    EXPECT_EQ(describe(traps()), "");

    // Descriptors are compared as signed numbers: -1 is below 3, not above it.
    write_u32(stream + file_field::fd, uint32_t(-1));
    write_u32(stream + file_field::eof, 1);
    EXPECT_EQ(as_int(call("fseek", {stream, 1, 0})), -1) << "fd -1";
    EXPECT_EQ(as_int(call("ftell", {stream})), -1) << "fd -1";
    call("rewind", {stream});
    EXPECT_EQ(call("feof", {stream}), 0u) << "fd -1: rewind only clears the indicators";
    EXPECT_EQ(call("fclose", {stream}), 0u) << "fd -1 is left alone by fclose";
    EXPECT_EQ(describe(traps()), "") << "no lseek or close for fd -1";
}

TEST_F(FileStreams, IndicatorsOfANullStreamAreSet) {
    EXPECT_EQ(call("feof", {0}), 1u);
    EXPECT_EQ(call("ferror", {0}), 1u);
    EXPECT_EQ(call("ferror", {standard("stdin")}), 0u);
}

TEST_F(FileStreams, ClosingAReadStreamClosesItsDescriptor) {
    uint32_t stream = open_data("abc");
    uint32_t fd = field(stream, file_field::fd);
    ASSERT_GT(fd, 2u);
    EXPECT_EQ(call("fclose", {stream}), 0u);
    ASSERT_EQ(trap_numbers(), Numbers{VEKOS_TRAP_CLOSE});
    EXPECT_EQ(traps()[0].args[0], fd);

    stream = open_data("abc");
    script_trap(VEKOS_TRAP_CLOSE, {-7});
    EXPECT_EQ(as_int(call("fclose", {stream})), -7) << "the result of close";
    EXPECT_EQ(as_int(call("fclose", {0})), -1);
}

TEST_F(FileStreams, CurrentStandardStreamsAreNeverClosed) {
    for (const char *name : {"stdin", "stdout", "stderr"})
        EXPECT_EQ(call("fclose", {standard(name)}), 0u) << "fclose(" << name << ")";
    EXPECT_EQ(describe(traps()), "");
    EXPECT_EQ(call("puts", {str("still here")}), 0u);
    EXPECT_EQ(console(), "still here\n");

    // A write stream put into stdout is guarded while it stays there.
    uint32_t stream = open("/kept.txt", "w");
    ASSERT_NE(stream, 0u);
    write_u32(symbol("stdout"), stream);
    clear_traps();
    EXPECT_EQ(call("puts", {str("to the file")}), 0u);
    EXPECT_EQ(call("fclose", {stream}), 0u);
    EXPECT_EQ(describe(traps()), "") << "the stream is held in memory, and not stored";
    write_u32(symbol("stdout"), symbol("g_stdout"));
    EXPECT_EQ(call("fclose", {stream}), 0u);
    EXPECT_EQ(host_file("kept.txt"), "to the file\n");

    // A read stream on descriptor 0 that isn't stdin is not closed either: descriptors
    // 0 to 2 stay open.
    uint32_t copy = alloc(44);
    write_bytes(copy, read_bytes(standard("stdin"), 44));
    clear_traps();
    EXPECT_EQ(call("fclose", {copy}), 0u);
    EXPECT_EQ(describe(traps()), "");
}

TEST_F(FileStreams, HeapExhaustionInFopenClosesTheDescriptorAgain) {
    put_file("data.bin", "abc");
    uint32_t used = read_u32(symbol("g_heap_used"));
    ASSERT_NE(call("malloc", {0x100000 - used - 4 - 40}), 0u); // 40 bytes left: the record needs 48
    clear_traps();
    EXPECT_EQ(open("/data.bin", "r"), 0u);
    ASSERT_EQ(trap_numbers(), (Numbers{VEKOS_TRAP_OPEN, VEKOS_TRAP_CLOSE}));
    EXPECT_EQ(as_int(traps()[1].args[0]), traps()[0].result) << "the descriptor just opened";
    EXPECT_EQ(as_int(read_u32(symbol("errno"))), 12);
}

TEST_F(FileStreams, HeapExhaustionInFopenForWriting) {
    uint32_t used = read_u32(symbol("g_heap_used"));
    // Room for the record (48 bytes) but not for the copy of the path.
    ASSERT_NE(call("malloc", {0x100000 - used - 4 - 48}), 0u);
    EXPECT_EQ(open("/a/long/path.txt", "w"), 0u);
    EXPECT_EQ(as_int(read_u32(symbol("errno"))), 12);
    EXPECT_EQ(read_u32(symbol("g_heap_used")), 0x100000u) << "the record took the last bytes";
    EXPECT_EQ(open("/x", "w"), 0u) << "no room for a record at all";
    EXPECT_EQ(describe(traps()), "");
}

TEST_F(FileStreams, WriteStreamRecordsKeepTheirOwnCopyOfThePath) {
    uint32_t path = buffer(std::string("/copy.txt\0", 10));
    uint32_t stream = call("fopen", {path, str("w")});
    ASSERT_NE(stream, 0u);
    EXPECT_NE(field(stream, file_field::path), path);
    write_bytes(path, "/else.txt");
    EXPECT_EQ(call("fclose", {stream}), 0u);
    EXPECT_TRUE(fs::exists(root() / "copy.txt"));
    EXPECT_FALSE(fs::exists(root() / "else.txt"));
}

} // namespace
