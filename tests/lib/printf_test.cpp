// The stream formatter: its layouts, the exact pieces it hands to the stream (one write
// trap each on the console), failures at any piece, the console record, memory streams.
#include "lib_fixture.h"

#include <string>
#include <vector>

namespace {

using Arg = GuestArg;

using Pieces = std::vector<std::string>;

class StreamFormatter : public LibFixture {
  protected:
    int32_t print(const char *format, const std::vector<Arg> &args) {
        return as_int(call("printf", argument_words(args, {str(format)})));
    }
    int32_t print_to(uint32_t stream, const char *format, const std::vector<Arg> &args) {
        return as_int(call("fprintf", argument_words(args, {stream, str(format)})));
    }
    // The data of every write trap so far, in order.
    Pieces pieces() {
        Pieces result;
        for (const TrapRecord &trap : traps())
            if (trap.number == VEKOS_TRAP_WRITE) result.push_back(carried_bytes(trap));
        return result;
    }
    uint32_t standard(const char *name) { return read_u32(symbol(name)); }

    // A memory stream and the two variables that follow its buffer.
    struct Memory {
        uint32_t stream, out_buf, out_size;
    };
    Memory open_memory() {
        uint32_t vars = words({0xdeadbeef, 0xdeadbeef});
        uint32_t stream = call("open_memstream", {vars, vars + 4});
        EXPECT_NE(stream, 0u) << "open_memstream failed";
        return {stream, vars, vars + 4};
    }
    std::string contents(const Memory &memory) {
        uint32_t buf = read_u32(memory.out_buf);
        return buf ? read_bytes(buf, read_u32(memory.out_size)) : "";
    }
};

TEST_F(StreamFormatter, ConsoleLayouts) {
    struct Row {
        const char *format;
        std::vector<Arg> args;
        std::string expected;
    } rows[] = {
        {"%5d|%.3d|%8.3x|", {42, 7, 255}, "   42|007|     0ff|"},
        {"%05d", {42}, "   42"},
        {"%-5d|%d", {42}, "%-5d|42"},
        {"%+d|%X|% d|%#x|%zd|%hd|%o", {}, "%+d|%X|% d|%#x|%zd|%hd|%o"},
        {"%10p", {0x1234}, "    0x1234"},
        {"%.8p", {0x1234}, "0x00001234"},
        {"%12.8p", {0x1234}, "  0x00001234"},
        {"%p|%3p", {0u, 0u}, "0x0|0x0"},
        {"%8.4d", {-42}, "   -0042"},
        {"%.0d|%.0x", {0, 0}, "0|0"},
        {"%d|%i|%u|%x", {0x80000000u, -1, -1, 0xdeadbeefu}, "-2147483648|-1|4294967295|deadbeef"},
        {"%5s|", {0u}, "(null)|"},
        {"%.2s|%.*s|%*s|", {0u, -1, "ab", 4, "ab"}, "(n|ab|  ab|"},
        {"%3s|", {16u}, "   |"},
        {"%-3s|", {"ab"}, "%-3s|"},
        {"%5c|%.2%|%5%", {'A'}, "A|%|%"},
        {"%*d|%.*d|%*d", {4, 1, 3, 2, -3, 3}, "   1|002|3"},
        {"%*5d", {2}, "%5d"},
        {"abc%", {}, "abc"},
        {"ab%5", {}, "ab"},
        {"ab%5.3ll", {}, "ab"},
        {"%lld", {0u, 0x80000000u}, "-9223372036854775808"},
        {"%llu", {0xffffffffu, 0xffffffffu}, "18446744073709551615"},
        {"%llx|%lli", {0x55667788u, 0x11223344u, 5, 0}, "1122334455667788|5"},
        {"%llp|%lx", {0x55667788u, 0x11223344u, 0xabc}, "0x1122334455667788|abc"},
        {"%lll|%ls", {"s"}, "%l|s"},
        {"%.d|%5.s|%.x|%3.i|", {0, "abc", 0, 5}, "0|     |0|  5|"},
        {"%22lld|%.3lli", {0u, 0x80000000u, 5, 0}, "  -9223372036854775808|005"},
        {"%*c|%.*%|%d", {9, 'a', 9, 4}, "a|%|4"},
    };
    for (const Row &row : rows) {
        clear_console();
        EXPECT_EQ(print(row.format, row.args), int32_t(row.expected.size())) << row.format;
        EXPECT_EQ(escaped(console()), escaped(row.expected)) << row.format;
    }
}

// One write per literal byte, fill space, sign, prefix byte and leading zero; one for the
// digits and one for a string's bytes.
TEST_F(StreamFormatter, EachPieceIsOneWrite) {
    struct Row {
        const char *format;
        std::vector<Arg> args;
        Pieces expected;
    } rows[] = {
        {"ab%3d", {7}, {"a", "b", " ", " ", "7"}},
        {"%6.3d|", {-42}, {" ", " ", "-", "0", "42", "|"}},
        {"%8.6p", {0xabc}, {"0", "x", "0", "0", "0", "abc"}},
        {"%9.6p", {0xabc}, {" ", "0", "x", "0", "0", "0", "abc"}},
        {"%4s%s", {"hi", "there"}, {" ", " ", "hi", "there"}},
        {"%%%q%c", {0}, {"%", "%", "q", std::string(1, '\0')}},
        {"%llu", {0u, 1u}, {"4294967296"}},
    };
    for (const Row &row : rows) {
        clear_traps();
        print(row.format, row.args);
        EXPECT_EQ(pieces(), row.expected) << row.format;
    }
}

// "ab%5dcd" is a, b, four spaces, 42, c, d: a write failing at any of them ends the call
// with -1, and nothing after it is attempted.
TEST_F(StreamFormatter, AFailedWriteEndsTheCall) {
    const Pieces all = {"a", "b", " ", " ", " ", "42", "c", "d"};
    for (size_t failing = 0; failing < all.size(); failing++) {
        clear_traps();
        clear_console();
        std::vector<int32_t> results;
        for (size_t i = 0; i < failing; i++) results.push_back(int32_t(all[i].size()));
        results.push_back(-1);
        script_trap(VEKOS_TRAP_WRITE, results);
        EXPECT_EQ(print("ab%5dcd", {42}), -1) << "write " << failing << " fails";
        Pieces expected(all.begin(), all.begin() + long(failing) + 1);
        EXPECT_EQ(pieces(), expected) << "write " << failing << " fails";
        clear_scripts();
    }
    clear_traps();
    script_trap(VEKOS_TRAP_WRITE, {0});
    EXPECT_EQ(print("xy", {}), -1) << "a write that makes no progress is a failure";
    EXPECT_EQ(pieces(), Pieces{"x"});
}

TEST_F(StreamFormatter, ConsoleRecordLeadsAFormatOnDescriptorOne) {
    EXPECT_EQ(print("%cAB%d", {0x11, 0x22, 0x33, 44}), 4);
    EXPECT_EQ(pieces(), (Pieces{"\xff\x11\x22\x33", "A", "B", "44"}));

    clear_traps();
    EXPECT_EQ(print("%c", {0x141, 0x22, 0x33}), 0) << "the record is not counted";
    EXPECT_EQ(pieces(), Pieces{"\xff"
                               "A\x22"
                               "3"});

    clear_traps();
    EXPECT_EQ(print("x%c", {0x41}), 2);
    EXPECT_EQ(pieces(), (Pieces{"x", "A"}));

    clear_traps();
    EXPECT_EQ(print("%5c", {0x41}), 1) << "a width makes it an ordinary c";
    EXPECT_EQ(pieces(), Pieces{"A"});

    clear_traps();
    EXPECT_EQ(print_to(standard("stderr"), "%c%c", {1, 2, 3, 'z'}), 1);
    EXPECT_EQ(pieces(), (Pieces{"\xff\x01\x02\x03", "z"})) << "stderr is descriptor 1 too";

    clear_traps();
    script_trap(VEKOS_TRAP_WRITE, {-1});
    EXPECT_EQ(print("%cAB", {1, 2, 3}), -1);
    EXPECT_EQ(pieces().size(), 1u) << "nothing after a failed record";
}

TEST_F(StreamFormatter, UnwritableStreamsAndNullArguments) {
    uint32_t in = standard("stdin");
    EXPECT_EQ(print_to(in, "x", {}), -1);
    EXPECT_EQ(print_to(in, "%cx", {'A'}), -1) << "no console record on descriptor 0";
    EXPECT_EQ(print_to(in, "", {}), 0);
    EXPECT_EQ(print_to(in, "%s", {""}), 0) << "only zero-length pieces";
    EXPECT_EQ(print_to(in, "%.0s%", {"abc"}), 0);
    EXPECT_EQ(as_int(call("fprintf", {0, str("x")})), -1);
    EXPECT_EQ(as_int(call("fprintf", {standard("stdout"), 0})), -1);
    EXPECT_EQ(as_int(call("printf", {0})), -1);
    EXPECT_EQ(print("", {}), 0);
    EXPECT_EQ(pieces(), Pieces{});

    write_u32(symbol("stdout"), in);
    EXPECT_EQ(print("x", {}), -1) << "printf reads stdout at each call";
}

TEST_F(StreamFormatter, MemoryStreamCollectsEveryPiece) {
    Memory memory = open_memory();
    EXPECT_EQ(print_to(memory.stream, "%cAB", {0x41}), 3) << "no console record there";
    EXPECT_EQ(print_to(memory.stream, "|%5d|%.3x|%s", {-7, 10, "end"}), 14);
    EXPECT_EQ(print_to(memory.stream, "%lld", {0xfffffffeu, 0xffffffffu}), 2);
    EXPECT_EQ(escaped(contents(memory)), escaped("AAB|   -7|00a|end-2"));
    EXPECT_EQ(read_u32(memory.out_size), 19u);
    EXPECT_EQ(pieces(), Pieces{}) << "a memory stream makes no write trap";
}

TEST_F(StreamFormatter, VfprintfReadsAVaList) {
    uint32_t list = words({5, 0, 9, str("s")});
    EXPECT_EQ(as_int(call("vfprintf", {standard("stdout"), str("%lld|%d|%s"), list})), 5);
    EXPECT_EQ(console(), "5|9|s");
}

// The same words read through both engines: ll takes two words only on streams.
TEST_F(StreamFormatter, LongLongDiffersBetweenTheEngines) {
    std::vector<Arg> args = {5, 0, 9};
    EXPECT_EQ(print("%lld|%d", args), 3);
    EXPECT_EQ(console(), "5|9");
    uint32_t out = alloc(16);
    EXPECT_EQ(call("snprintf", argument_words(args, {out, 16, str("%lld|%d")})), 3u);
    EXPECT_EQ(read_string(out), "5|0") << "the buffer formatter takes one word for ll";
}

} // namespace
