// Formatted input: the scan engine's conversions, failures and counts through sscanf and
// vsscanf, with canaries around every destination; fscanf on descriptor streams over
// real files, with the bytes it reads (pos), eof, long words and NUL bytes.
#include "lib_fixture.h"

#include <fstream>

namespace {

using namespace std::literals;

constexpr uint32_t untouched_word = 0xcccccccc;
constexpr uint8_t fill = 0xcc;
constexpr size_t word_capacity = 320;

// A destination of a conversion and what it should hold afterwards ("-": untouched).
// Kinds: 'n' a 32-bit number, 'c' one char, 's' a char array, '0' a null pointer.
struct Dest {
    char kind;
    std::string expected = "-";
};

class Scan : public LibFixture {
  protected:
    uint32_t make(const Dest &dest) {
        switch (dest.kind) {
        case 'n':
            return words({untouched_word});
        case 'c':
            return alloc(1, fill);
        case 's':
            return alloc(word_capacity, fill);
        default:
            return 0;
        }
    }
    // What the destination holds, in the terms of Dest::expected.
    std::string held(const Dest &dest, uint32_t address) {
        if (dest.kind == 'n') {
            uint32_t value = read_u32(address);
            return value == untouched_word ? "-" : std::to_string(as_int(value));
        }
        if (dest.kind == 'c') {
            std::string byte = read_bytes(address, 1);
            return byte == std::string(1, char(fill)) ? "-" : byte;
        }
        if (dest.kind == 's') {
            std::string bytes = read_bytes(address, word_capacity);
            if (bytes[0] == char(fill)) return "-";
            size_t nul = bytes.find('\0');
            if (nul == std::string::npos) return "<no terminator>";
            if (nul + 1 < word_capacity && bytes[nul + 1] != char(fill))
                return "<written past the terminator>";
            return bytes.substr(0, nul);
        }
        return "-";
    }
    // Runs function(head..., destinations...) and checks the count and every destination.
    void expect_scan(const std::string &what, const std::string &function,
                     std::vector<uint32_t> head, const std::vector<Dest> &dests, int count) {
        std::vector<uint32_t> addresses;
        for (const Dest &dest : dests) addresses.push_back(make(dest));
        std::vector<uint32_t> args = head;
        args.insert(args.end(), addresses.begin(), addresses.end());
        EXPECT_EQ(as_int(call(function, args)), count) << what << ": count";
        for (size_t i = 0; i < dests.size(); i++) {
            EXPECT_EQ(escaped(held(dests[i], addresses[i])), escaped(dests[i].expected))
                << what << ": destination " << i + 1;
        }
        EXPECT_TRUE(canaries_intact()) << what << ": canary overwritten";
    }
    void expect_sscanf(std::string_view input, const char *format, const std::vector<Dest> &dests,
                       int count) {
        std::string what = "sscanf(\"" + escaped(input) + "\", \"" + escaped(format) + "\")";
        expect_scan(what, "sscanf", {buffer(std::string(input) + '\0'), str(format)}, dests, count);
    }
};

TEST_F(Scan, IntegerConversions) {
    struct Row {
        const char *input, *format;
        std::vector<Dest> dests;
        int count;
    } rows[] = {
        {"", "%d", {{'n'}}, 0},
        {"abc", "%d", {{'n'}}, 0},
        {" \t-42x", "%d", {{'n', "-42"}}, 1},
        {"+7", "%d", {{'n', "7"}}, 1},
        {"-", "%d", {{'n'}}, 0},
        {"+ 7", "%d", {{'n'}}, 0},
        {"\n5", "%d", {{'n'}}, 0}, // a line feed is not a blank
        {"\n5", " %d", {{'n', "5"}}, 1},
        {"4294967297", "%d", {{'n', "1"}}, 1},
        {"2147483648", "%d", {{'n', "-2147483648"}}, 1},
        {"0x1f", "%x", {{'n', "0"}}, 1},
        {"0x1f", "%x%c", {{'n', "0"}, {'c', "x"}}, 2},
        {"-ff", "%x", {{'n', "-255"}}, 1},
        {"DeadBeef", "%X", {{'n', std::to_string(int32_t(0xdeadbeef))}}, 1},
        {"g", "%x", {{'n'}}, 0},
        {"0x1f", "%i", {{'n', "31"}}, 1},
        {"0X1F", "%i", {{'n', "31"}}, 1},
        {"017", "%i", {{'n', "15"}}, 1},
        {"-010", "%i", {{'n', "-8"}}, 1},
        {"08", "%i%c", {{'n', "0"}, {'c', "8"}}, 2},
        {"0", "%i", {{'n', "0"}}, 1},
        {"0xg", "%i", {{'n'}}, 0},
        {"-0x", "%i", {{'n'}}, 0},
        {"90a", "%i%c", {{'n', "90"}, {'c', "a"}}, 2},
        {"079", "%i%c", {{'n', "7"}, {'c', "9"}}, 2}, // octal stops at 9
        {"-0x10", "%i", {{'n', "-16"}}, 1},
        {"+0X1g", "%i%c", {{'n', "1"}, {'c', "g"}}, 2},
        {"123456789", "%x", {{'n', std::to_string(int32_t(0x23456789))}}, 1},
        {"-1", "%u%d", {{'n'}, {'n'}}, 0},
        {"x", "%*d%d", {{'n'}}, 0},
        {"-5", "%u", {{'n'}}, 0},
        {"+5", "%u", {{'n'}}, 0},
        {"4294967295", "%u", {{'n', "-1"}}, 1},
        {"12 34", "%d %d", {{'n', "12"}, {'n', "34"}}, 2},
        {"12 x", "%d %d", {{'n', "12"}, {'n'}}, 1},
        {"\x80"
         "1",
         "%d",
         {{'n'}},
         0},
    };
    for (const Row &row : rows) expect_sscanf(row.input, row.format, row.dests, row.count);
}

TEST_F(Scan, CharactersWordsAndLiterals) {
    struct Row {
        std::string input;
        const char *format;
        std::vector<Dest> dests;
        int count;
    } rows[] = {
        {" x", "%c", {{'c', " "}}, 1},
        {"", "%c", {{'c'}}, 0},
        {"\xff", "%c", {{'c', "\xff"}}, 1},
        {"ab", "%c%c%c", {{'c', "a"}, {'c', "b"}, {'c'}}, 2},
        {" \tword next", "%s", {{'s', "word"}}, 1},
        {" \nabc", "%s", {{'s', ""}}, 1}, // the word ends at once at the line feed
        {" \nabc", "%s%c", {{'s', ""}, {'c', "\n"}}, 2},
        {"  ", "%s", {{'s'}}, 0},
        {"a\rb c", "%s", {{'s', "a\rb"}}, 1},
        {"one two", "%s %s", {{'s', "one"}, {'s', "two"}}, 2},
        {"abc", "%0s", {{'s', "abc"}}, 1},
        {"5%", "%d%%", {{'n', "5"}}, 1},
        {"5x", "%d%%%d", {{'n', "5"}, {'n'}}, 1},
        {"a5b", "a%db", {{'n', "5"}}, 1},
        {"A5b", "a%db", {{'n'}}, 0},
        {"a5", "a%db", {{'n', "5"}}, 1},
        {"\r5", "\r%d", {{'n', "5"}}, 1},
        {"5", "\r%d", {{'n'}}, 0}, // a carriage return in a format is a literal
        {"7", "\t\n %d \t", {{'n', "7"}}, 1},
        {"1 2", "%*d %d", {{'n', "2"}}, 1},
        {"xy", "%*c%c", {{'c', "y"}}, 1},
        {"skip keep", "%*s %s", {{'s', "keep"}}, 1},
        {"\nx", "%*s%c", {{'c', "\n"}}, 1}, // nothing consumed for an empty word
        {" %5", "%%%d", {{'n'}}, 0},        // %% skips no white space
        {"5", "%d %c", {{'n', "5"}, {'c'}}, 1},
        {"12", "%3d", {{'n', "12"}}, 1},
        {"123456", "%2d", {{'n', "123456"}}, 1}, // widths limit no number
    };
    for (const Row &row : rows) expect_sscanf(row.input, row.format, row.dests, row.count);
}

// A width bounds the bytes that %s stores, so "%5s" fits a six-byte array; the rest of
// the word stays in the input for the next directive.
TEST_F(Scan, WidthBoundsTheWordOfS) {
    expect_sscanf("abcdefgh", "%5s%s", {{'s', "abcde"}, {'s', "fgh"}}, 2);
    expect_sscanf("abc def", "%5s %2s%s", {{'s', "abc"}, {'s', "de"}, {'s', "f"}}, 3);
    expect_sscanf("abcdefgh", "%99999999999999999999s", {{'s', "abcdefgh"}}, 1);
    expect_sscanf("abcdefgh", "%*3s%s", {{'s', "defgh"}}, 1);

    uint32_t six = alloc(6, fill);
    EXPECT_EQ(as_int(call("sscanf", {str("overflowing"), str("%5s"), six})), 1);
    EXPECT_EQ(escaped(read_bytes(six, 6)), escaped("overf\0"s));
    EXPECT_TRUE(canaries_intact()) << "%5s wrote past a six-byte array";
}

TEST_F(Scan, UnsupportedConversionsEndTheScan) {
    for (const char *format : {"%ld", "%f", "%hd", "%lld", "%o",   "%p", "%n", "%e", "%g", "%a",
                               "%E",  "%G", "%A",  "%[a]", "%5*d", "%",  "%z", "%j", "%L", "%t"}) {
        std::string what = "sscanf(\"12 5\", \"" + std::string(format) + "\")";
        expect_scan(what, "sscanf", {str("12 5"), str(format)}, {{'n'}, {'n'}}, 0);
        std::string twice = "%d " + std::string(format) + "%d";
        expect_scan("\"" + twice + "\"", "sscanf", {str("12 5"), str(twice.c_str())},
                    {{'n', "12"}, {'n'}, {'n'}}, 1);
    }
}

TEST_F(Scan, NullWordDestinationConsumesWithoutCounting) {
    expect_sscanf("skip 5", "%s %d", {{'0'}, {'n', "5"}}, 1);
    expect_sscanf("", "%s", {{'0'}}, 0);
}

TEST_F(Scan, NullStringOrFormatScansNothing) {
    uint32_t n = words({untouched_word});
    EXPECT_EQ(as_int(call("sscanf", {0, str("%d"), n})), 0);
    EXPECT_EQ(as_int(call("sscanf", {str("5"), 0, n})), 0);
    EXPECT_EQ(read_u32(n), untouched_word);
}

TEST_F(Scan, VsscanfTakesItsArgumentsFromAList) {
    uint32_t a = words({untouched_word}), b = alloc(8, fill), c = words({untouched_word});
    uint32_t list = words({a, b, c});
    EXPECT_EQ(as_int(call("vsscanf", {str("-3 hi 0x10"), str("%d%s%i"), list})), 3);
    EXPECT_EQ(as_int(read_u32(a)), -3);
    EXPECT_EQ(read_string(b), "hi");
    EXPECT_EQ(read_u32(c), 16u);
    EXPECT_TRUE(canaries_intact()) << "canary overwritten";
}

// fscanf over a file of the test's root, opened in the guest, through a FILE record
// built in guest memory: kind, fd, path, buf, len, cap, out_buf, out_size, error, pos, eof.
class StreamScan : public Scan {
  protected:
    uint32_t open_stream(std::string_view contents, uint32_t kind = library_abi::stream_kind::fd) {
        std::ofstream(root() / "input.txt", std::ios::binary) << contents;
        int32_t fd = as_int(call("open", {str("/input.txt"), 0}));
        EXPECT_GE(fd, 0) << "open failed";
        return words({kind, uint32_t(fd), 0, 0, 0, 0, 0, 0, 0, 0, 0});
    }
    int32_t pos(uint32_t stream) { return as_int(read_u32(stream + library_abi::file_field::pos)); }
    int32_t eof(uint32_t stream) { return as_int(read_u32(stream + library_abi::file_field::eof)); }
    void expect_fscanf(const std::string &what, uint32_t stream, const char *format,
                       const std::vector<Dest> &dests, int count) {
        expect_scan(what, "fscanf", {stream, str(format)}, dests, count);
    }
    // Read traps since the last clear, each checked to ask for exactly one byte.
    size_t one_byte_reads() {
        size_t count = 0;
        for (const TrapRecord &trap : traps()) {
            if (trap.number != VEKOS_TRAP_READ) continue;
            EXPECT_EQ(trap.args[2], 1u) << "fscanf reads one byte at a time";
            count++;
        }
        return count;
    }
};

TEST_F(StreamScan, OneWordPerCallAndTheBytesItConsumed) {
    uint32_t stream = open_stream("   42abc\n7");
    clear_traps();
    expect_fscanf("first call", stream, "%d", {{'n', "42"}}, 1);
    EXPECT_EQ(pos(stream), 9) << "three spaces, the word and its line feed";
    EXPECT_EQ(eof(stream), 0);
    EXPECT_EQ(one_byte_reads(), 9u);

    clear_traps();
    expect_fscanf("second call", stream, "%d", {{'n', "7"}}, 1);
    EXPECT_EQ(pos(stream), 10);
    EXPECT_EQ(eof(stream), 1) << "the word ended at the end of the file";
    EXPECT_EQ(one_byte_reads(), 2u) << "the 7 and the read that found the end";

    expect_fscanf("at the end", stream, "%d", {{'n'}}, -1);
    EXPECT_EQ(pos(stream), 10);
    EXPECT_EQ(eof(stream), 1);
}

TEST_F(StreamScan, EndOfInputBeforeAWord) {
    uint32_t empty = open_stream("");
    expect_fscanf("empty file", empty, "%d", {{'n'}}, -1);
    EXPECT_EQ(eof(empty), 1);
    EXPECT_EQ(pos(empty), 0);

    uint32_t blank = open_stream(" \t\r\n\n ");
    expect_fscanf("only delimiters", blank, "%s", {{'s'}}, -1);
    EXPECT_EQ(pos(blank), 6) << "every delimiter is consumed";
    EXPECT_EQ(eof(blank), 1);
}

TEST_F(StreamScan, TheFormatSeesOnlyTheWord) {
    uint32_t stream = open_stream("1 2");
    expect_fscanf("\"%d %d\" on 1 2", stream, "%d %d", {{'n', "1"}, {'n'}}, 1);
    EXPECT_EQ(pos(stream), 2);
    expect_fscanf("the 2 is left for the next call", stream, "%d", {{'n', "2"}}, 1);

    uint32_t crlf = open_stream("x\r\ny");
    expect_fscanf("x CR LF y", crlf, "%s", {{'s', "x"}}, 1);
    EXPECT_EQ(pos(crlf), 2) << "only the carriage return goes with the word";
    expect_fscanf("after CR", crlf, "%s", {{'s', "y"}}, 1);
    EXPECT_EQ(pos(crlf), 4);

    uint32_t vertical = open_stream("\v5 ");
    expect_fscanf("VT 5", vertical, "%d", {{'n'}}, 0);
    EXPECT_EQ(pos(vertical), 3) << "a vertical tab starts the word";

    uint32_t nul = open_stream("\0ab c"sv);
    expect_fscanf("NUL a b", nul, "%s", {{'s'}}, 0);
    EXPECT_EQ(pos(nul), 4);
    EXPECT_EQ(eof(nul), 0);
    expect_fscanf("after the NUL word", nul, "%c", {{'c', "c"}}, 1);
}

TEST_F(StreamScan, LongWordsKeepTheirFirst255Bytes) {
    std::string word(300, 'w');
    for (size_t i = 0; i < word.size(); i++) word[i] = char('a' + i % 26);
    uint32_t stream = open_stream(word + " next");
    expect_fscanf("300-byte word", stream, "%s", {{'s', word.substr(0, 255)}}, 1);
    EXPECT_EQ(pos(stream), 301) << "the whole word and its delimiter are consumed";
    expect_fscanf("the word after it", stream, "%s", {{'s', "next"}}, 1);

    uint32_t exact = open_stream(std::string(255, 'z') + "!");
    expect_fscanf("256-byte word", exact, "%s", {{'s', std::string(255, 'z')}}, 1);
    EXPECT_EQ(pos(exact), 256);
    EXPECT_EQ(eof(exact), 1);
}

TEST_F(StreamScan, StreamsThatCannotBeScanned) {
    uint32_t memory = open_stream("5", 2);
    uint32_t writefile = open_stream("5", 3);
    uint32_t good = open_stream("5");
    clear_traps();
    expect_fscanf("memory stream", memory, "%d", {{'n'}}, -1);
    expect_fscanf("write-file stream", writefile, "%d", {{'n'}}, -1);
    expect_fscanf("null stream", 0, "%d", {{'n'}}, -1);
    expect_scan("null format", "fscanf", {good, 0}, {{'n'}}, -1);
    EXPECT_EQ(one_byte_reads(), 0u) << "nothing is read from a stream that is refused";
    EXPECT_EQ(pos(good), 0);
}

TEST_F(StreamScan, OddReadResults) {
    uint32_t stream = open_stream("12 34");
    script_trap(VEKOS_TRAP_READ, {2});
    expect_fscanf("two bytes for one, before the word", stream, "%d", {{'n'}}, -1);
    EXPECT_EQ(pos(stream), 2) << "the result still counts";
    EXPECT_EQ(eof(stream), 0) << "only the end sets eof";

    uint32_t failing = open_stream("12 34");
    script_trap(VEKOS_TRAP_READ, {-1});
    expect_fscanf("a failed read before the word", failing, "%d", {{'n'}}, -1);
    EXPECT_EQ(eof(failing), 1);
    EXPECT_EQ(pos(failing), 0);
    expect_fscanf("a later call reads again", failing, "%d", {{'n', "12"}}, 1);
    EXPECT_EQ(pos(failing), 3);
}

// Once a word has begun, an end, a failure or an odd result of a read only ends it: the
// format still sees what was collected, and only the end or a failure sets eof.
TEST_F(StreamScan, AReadThatStopsInsideAWordEndsIt) {
    struct Row {
        int32_t stopping_result;
        int32_t eof_after;
        int32_t pos_after;
    } rows[] = {{0, 1, 2}, {-1, 1, 2}, {2, 0, 4}};
    for (const Row &row : rows) {
        std::string what = "read result " + std::to_string(row.stopping_result) + " after \"12\"";
        uint32_t stream = open_stream("");
        int reads = 0;
        script_trap(VEKOS_TRAP_READ, [&](const TrapRecord &trap) {
            if (++reads > 2) return row.stopping_result;
            write_bytes(trap.args[1], reads == 1 ? "1" : "2");
            return 1;
        });
        expect_fscanf(what, stream, "%d", {{'n', "12"}}, 1);
        clear_scripts();
        EXPECT_EQ(reads, 3) << what;
        EXPECT_EQ(eof(stream), row.eof_after) << what;
        EXPECT_EQ(pos(stream), row.pos_after) << what;
    }
}

TEST_F(StreamScan, StandardInputIsADescriptorStream) {
    guest().set_input(" 5\t6");
    uint32_t in = read_u32(symbol("stdin"));
    expect_fscanf("stdin", in, "%d", {{'n', "5"}}, 1);
    expect_fscanf("stdin again", in, "%u", {{'n', "6"}}, 1);
    expect_fscanf("stdin at its end", in, "%u", {{'n'}}, -1);
    EXPECT_EQ(pos(in), 4);
    EXPECT_EQ(eof(in), 1);
}

} // namespace
