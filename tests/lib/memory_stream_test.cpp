// Memory streams: the growing buffer, the caller's two variables, and failed growth.
#include "lib_fixture.h"

namespace {

using namespace library_abi;

// A memory stream opened over two guest variables that start as garbage.
class MemoryStream : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        open_stream();
    }

    void open_stream() {
        out_ = words({0xDEADBEEF});
        size_ = words({0xDEADBEEF});
        stream_ = call("open_memstream", {out_, size_});
        ASSERT_NE(stream_, 0u);
    }

    uint32_t field(uint32_t offset) { return read_u32(stream_ + offset); }
    uint32_t out() { return read_u32(out_); }
    uint32_t size() { return read_u32(size_); }
    uint32_t heap_used() { return read_u32(symbol("g_heap_used")); }

    int32_t write(std::string_view bytes) {
        return as_int(call("file_write_bytes", {stream_, buffer(bytes), uint32_t(bytes.size())}));
    }

    // The invariants after every operation, and the caller's view of them.
    void expect_consistent(const std::string &content, uint32_t capacity) {
        EXPECT_EQ(field(file_field::len), content.size());
        EXPECT_EQ(field(file_field::cap), capacity);
        EXPECT_EQ(out(), field(file_field::buf)) << "*out follows the buffer";
        EXPECT_EQ(size(), content.size()) << "*size follows the length";
        EXPECT_EQ(read_u32(out() - 4), capacity) << "the buffer is a heap block of the capacity";
        EXPECT_EQ(escaped(read_bytes(out(), content.size() + 1)),
                  escaped(content + std::string(1, '\0')))
            << "the content, then a 0 byte";
    }

    uint32_t out_ = 0, size_ = 0, stream_ = 0;
};

TEST_F(MemoryStream, OpeningSetsTheVariablesAndNullArgumentsAllocateNothing) {
    EXPECT_EQ(out(), 0u);
    EXPECT_EQ(size(), 0u);
    EXPECT_EQ(field(file_field::kind), stream_kind::memory);
    EXPECT_EQ(field(file_field::buf), 0u) << "no buffer before the first write";

    uint32_t used = heap_used();
    EXPECT_EQ(call("open_memstream", {0, size_}), 0u);
    EXPECT_EQ(call("open_memstream", {out_, 0}), 0u);
    EXPECT_EQ(heap_used(), used);
}

TEST_F(MemoryStream, CapacityIsTheSmallest256TimesAPowerOfTwoThatFits) {
    struct Case {
        std::vector<uint32_t> writes;
        std::vector<uint32_t> capacities; // after each write
    } cases[] = {
        {{255}, {256}},
        {{256}, {512}},
        {{700}, {1024}},
        {{300, 300}, {512, 1024}},
        {{1, 254, 1}, {256, 256, 512}},
        {{5000}, {8192}},
    };
    for (const Case &c : cases) {
        open_stream();
        std::string content;
        for (size_t i = 0; i < c.writes.size(); i++) {
            std::string piece(c.writes[i], char('a' + i));
            SCOPED_TRACE("write " + std::to_string(i) + " of " + std::to_string(c.writes[i]) +
                         " bytes");
            EXPECT_EQ(write(piece), 0);
            content += piece;
            expect_consistent(content, c.capacities[i]);
        }
    }
}

TEST_F(MemoryStream, GrowthMovesTheBufferAndTheCallerFollows) {
    std::string first(255, 'x');
    ASSERT_EQ(write(first), 0);
    uint32_t small = out();
    expect_consistent(first, 256);

    ASSERT_EQ(call("fputc", {'y', stream_}), uint32_t('y'));
    EXPECT_NE(out(), small) << "the 512-byte buffer is a new block";
    expect_consistent(first + "y", 512);
    EXPECT_EQ(read_bytes(small, 255), first) << "the old block is left as it was";
}

TEST_F(MemoryStream, EveryWriterAppends) {
    EXPECT_EQ(as_int(call("fputs", {str("ab"), stream_})), 2);
    EXPECT_EQ(call("fwrite", {str("cdef"), 2, 2, stream_}), 2u);
    EXPECT_EQ(call("fputc", {0x167, stream_}), 0x167u) << "the low byte, 'g', is written";
    EXPECT_EQ(as_int(call("fputs", {str(""), stream_})), 0);
    expect_consistent("abcdefg", 256);
    EXPECT_EQ(describe(traps()), "") << "memory streams make no trap";
}

TEST_F(MemoryStream, ZeroLengthWritesChangeNothing) {
    EXPECT_EQ(write(""), 0);
    EXPECT_EQ(out(), 0u) << "still no buffer";
    EXPECT_EQ(size(), 0u);
    ASSERT_EQ(write("abc"), 0);
    EXPECT_EQ(write(""), 0);
    expect_consistent("abc", 256);
}

TEST_F(MemoryStream, AppendingItsOwnContentDoublesIt) {
    std::string half(200, 'q');
    ASSERT_EQ(write(half), 0);
    // The source is the buffer that this very write replaces.
    EXPECT_EQ(call("fwrite", {out(), 1, 200, stream_}), 200u);
    expect_consistent(half + half, 512);
}

TEST_F(MemoryStream, FailedGrowthLeavesEverythingAsItWas) {
    std::string first(255, 'x');
    ASSERT_EQ(write(first), 0);
    uint32_t buffer_before = out();
    // Leave 512 bytes: a 512-byte buffer needs a 520-byte block.
    uint32_t gap = kHeapSize - heap_used() - 512;
    ASSERT_NE(call("malloc", {gap - 4}), 0u);

    uint32_t used = heap_used();
    EXPECT_EQ(as_int(call("fputc", {'y', stream_})), -1);
    EXPECT_EQ(as_int(read_u32(symbol("errno"))), 12) << "from the heap";
    EXPECT_EQ(heap_used(), used);
    EXPECT_EQ(out(), buffer_before);
    expect_consistent(first, 256);
    EXPECT_EQ(write(""), 0) << "zero-length writes still succeed";
}

TEST_F(MemoryStream, LengthsThatWouldWrapAreRefusedWithoutWriting) {
    ASSERT_EQ(write("abc"), 0);
    uint32_t data = alloc(16, 'z');
    uint32_t used = heap_used();
    for (uint32_t length : {0xFFFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFFBu, 0x80000000u, 0x7FFFFFFCu}) {
        CallOutcome outcome = call_outcome("file_write_bytes", {stream_, data, length});
        ASSERT_TRUE(outcome.returned) << "length " << length << ": " << outcome.fault_text;
        EXPECT_EQ(as_int(outcome.eax), -1) << "length " << length;
        EXPECT_EQ(heap_used(), used) << "length " << length;
        expect_consistent("abc", 256);
    }
    EXPECT_TRUE(canaries_intact());
}

TEST_F(MemoryStream, OnlyAMemoryStreamWithBothVariablesReportsToTheCaller) {
    struct Case {
        const char *what;
        uint32_t kind;
        bool keep_out, keep_size;
    } cases[] = {
        {"no size variable", stream_kind::memory, true, false},
        {"no buffer variable", stream_kind::memory, false, true},
        {"a write-file stream", stream_kind::writefile, true, true},
    };
    for (const Case &c : cases) {
        open_stream();
        write_u32(stream_ + file_field::kind, c.kind);
        if (!c.keep_out) write_u32(stream_ + file_field::out_buf, 0);
        if (!c.keep_size) write_u32(stream_ + file_field::out_size, 0);
        write_u32(out_, 0x1111);
        write_u32(size_, 0x2222);
        CallOutcome outcome = call_outcome("fputs", {str("abc"), stream_});
        ASSERT_TRUE(outcome.returned) << c.what << ": " << outcome.fault_text;
        EXPECT_EQ(as_int(outcome.eax), 3) << c.what;
        EXPECT_EQ(field(file_field::len), 3u) << c.what << ": appended all the same";
        EXPECT_EQ(read_string(field(file_field::buf)), "abc") << c.what;
        EXPECT_EQ(out(), 0x1111u) << c.what << ": the caller's buffer variable is not written";
        EXPECT_EQ(size(), 0x2222u) << c.what << ": the caller's size variable is not written";
    }
}

TEST_F(MemoryStream, ClosingLeavesTheBufferToTheCaller) {
    ASSERT_EQ(write("kept"), 0);
    uint32_t content = out();
    EXPECT_EQ(call("fclose", {stream_}), 0u);
    EXPECT_EQ(out(), content);
    EXPECT_EQ(size(), 4u);
    EXPECT_EQ(read_string(content), "kept");
    EXPECT_EQ(describe(traps()), "");

    open_stream();
    EXPECT_EQ(call("fclose", {stream_}), 0u);
    EXPECT_EQ(out(), 0u) << "a stream never written leaves null and 0";
    EXPECT_EQ(size(), 0u);
}

TEST_F(MemoryStream, CannotBeReadOrPositioned) {
    ASSERT_EQ(write("abc"), 0);
    uint32_t into = alloc(4);
    EXPECT_EQ(call("fread", {into, 1, 3, stream_}), 0u);
    EXPECT_EQ(as_int(call("fgetc", {stream_})), -1);
    EXPECT_EQ(field(file_field::eof), 0u) << "failed reads leave end-of-file alone";
    EXPECT_EQ(as_int(call("fseek", {stream_, 0, 0})), -1);
    EXPECT_EQ(as_int(call("ftell", {stream_})), -1);
    write_u32(stream_ + file_field::eof, 1);
    call("rewind", {stream_});
    EXPECT_EQ(field(file_field::eof), 0u) << "rewind clears the indicator";
    expect_consistent("abc", 256);
    EXPECT_EQ(describe(traps()), "");
}

} // namespace
