// The heap: block layout and addresses, exhaustion, and errno on every failure.
#include "lib_fixture.h"

namespace {

using library_abi::kHeapSize;
constexpr int32_t out_of_memory = 12;

class Heap : public LibFixture {
  protected:
    uint32_t arena() { return symbol("g_heap"); }
    uint32_t used() { return read_u32(symbol("g_heap_used")); }
    int32_t error_code() { return as_int(read_u32(symbol("errno"))); }
    uint32_t header(uint32_t payload) { return read_u32(payload - 4); }

    // Takes all but `left` bytes of the arena in one block.
    void fill_arena_leaving(uint32_t left) {
        uint32_t gap = kHeapSize - used() - left;
        ASSERT_GE(gap, 8u);
        ASSERT_NE(call("malloc", {gap - 4}), 0u);
        ASSERT_EQ(used(), kHeapSize - left);
    }

    // A failed request: null, errno 12, and nothing else changed.
    void expect_refused(const std::string &function, const std::vector<uint32_t> &args) {
        uint32_t before = used();
        EXPECT_EQ(call(function, args), 0u) << function << " should fail";
        EXPECT_EQ(error_code(), out_of_memory) << function << ": errno";
        EXPECT_EQ(used(), before) << function << ": g_heap_used moved on failure";
    }
};

TEST_F(Heap, ConsecutiveBlocksAreAdjacentAndSizedByRequest) {
    struct Case {
        uint32_t request, header, block;
    } cases[] = {
        {0, 1, 8},       {1, 1, 8},    {4, 4, 8},          {5, 5, 16},
        {12, 12, 16},    {13, 13, 24}, {20, 20, 24},       {21, 21, 32},
        {100, 100, 104}, {0, 1, 8},    {4092, 4092, 4096}, {4093, 4093, 4104},
    };
    ASSERT_EQ(used(), 0u) << "a fresh guest has an empty heap";
    ASSERT_EQ(arena() % 8, 0u) << "the arena is 8-byte aligned";
    uint32_t expected = arena() + 4;
    for (const Case &c : cases) {
        uint32_t p = call("malloc", {c.request});
        EXPECT_EQ(p, expected) << "malloc(" << c.request << ")";
        EXPECT_EQ(p % 8, 4u) << "malloc(" << c.request << "): payloads sit 4 past a multiple of 8";
        EXPECT_EQ(header(p), c.header) << "malloc(" << c.request << "): header";
        expected = p + c.block;
        EXPECT_EQ(used(), expected - 4 - arena()) << "malloc(" << c.request << "): g_heap_used";
    }
    EXPECT_EQ(error_code(), 0) << "successful requests leave errno alone";
}

TEST_F(Heap, ExactlyOneMebibyteFitsAndNothingAfterIt) {
    uint32_t p = call("malloc", {kHeapSize - 4});
    EXPECT_EQ(p, arena() + 4);
    EXPECT_EQ(used(), kHeapSize);
    EXPECT_EQ(read_bytes(p + kHeapSize - 8, 4), std::string(4, '\0')) << "fresh memory is zero";
    for (uint32_t request : {0u, 1u, 8u}) expect_refused("malloc", {request});
    expect_refused("calloc", {1, 1});
    expect_refused("realloc", {p, 0});
    expect_refused("realloc", {0, 0});
    expect_refused("strdup", {str("")});
    expect_refused("strndup", {str("abc"), 2});
    expect_refused("strndup", {str("abc"), 0});
    expect_refused("strndup", {0x10, 5});
}

TEST_F(Heap, RequestsTooLargeForWhatIsLeftChangeNothing) {
    // 0xFFFFFFF5 + 11 wraps to 0 in 32 bits; so does the sum with g_heap_used for others.
    for (uint32_t request :
         {kHeapSize - 3, kHeapSize, 0xFFFFFFFFu, 0xFFFFFFF5u, 0xFFFFFFF0u, 0x80000000u})
        expect_refused("malloc", {request});
    ASSERT_NE(call("malloc", {100}), 0u);
    expect_refused("malloc", {kHeapSize - 100});
    EXPECT_NE(call("malloc", {kHeapSize - 108}), 0u) << "a later request that fits exactly";
    EXPECT_EQ(used(), kHeapSize);
}

TEST_F(Heap, ErrnoStaysTwelveThroughLaterSuccesses) {
    fill_arena_leaving(64);
    expect_refused("malloc", {61}); // a block of 72
    for (uint32_t request : {4u, 12u, 0u}) ASSERT_NE(call("malloc", {request}), 0u);
    EXPECT_EQ(error_code(), out_of_memory) << "nothing sets errno back";
}

TEST_F(Heap, FreeDoesNothing) {
    uint32_t p = call("malloc", {16});
    call("free", {p});
    call("free", {0});
    call("free", {0x10}); // anything at all
    EXPECT_EQ(call("malloc", {16}), p + 24) << "p's block is not reused";
}

TEST_F(Heap, CallocClearsAndRefusesProductsBeyond32Bits) {
    uint32_t a = call("calloc", {0, 5});
    EXPECT_EQ(header(a), 1u) << "calloc(0, 5) is malloc(0)";
    uint32_t b = call("calloc", {5, 0});
    EXPECT_EQ(b, a + 8) << "calloc(5, 0) takes 8 bytes too";
    EXPECT_EQ(header(b), 1u);

    // A caller writing past its block leaves bytes behind that only calloc clears.
    uint32_t p = call("malloc", {4});
    write_bytes(p + 4, std::string(32, '\xAA'));
    uint32_t c = call("calloc", {3, 4});
    EXPECT_EQ(c, p + 8);
    EXPECT_EQ(header(c), 12u);
    EXPECT_EQ(escaped(read_bytes(c, 12)), escaped(std::string(12, '\0')));
    EXPECT_EQ(read_bytes(c + 12, 4), std::string(4, '\xAA')) << "only the 12 bytes are cleared";
    EXPECT_EQ(call("malloc", {1}), c + 16) << "calloc(3, 4) takes a 16-byte block";

    expect_refused("calloc", {65536, 65536});   // needs 33 bits
    expect_refused("calloc", {0x80000001u, 2}); // wraps to 2 in 32 bits
    expect_refused("calloc", {0x10000, 0x10});  // fits 32 bits, not the arena
}

TEST_F(Heap, ReallocAlwaysCopiesIntoANewBlock) {
    EXPECT_EQ(header(call("realloc", {0, 6})), 6u) << "realloc(null, n) is malloc(n)";

    uint32_t p = call("malloc", {8});
    write_bytes(p, "abcdefgh");
    struct Case {
        uint32_t size;
        std::string copied; // what the new block starts with
    } cases[] = {
        {16, "abcdefgh"}, // growing copies all of the old bytes
        {8, "abcdefgh"},  // the same size still moves
        {3, "abc"},       // shrinking copies only the first size bytes
        {0, "a"},         // a new 1-byte block holding the first byte
    };
    for (const Case &c : cases) {
        uint32_t before = used();
        uint32_t q = call("realloc", {p, c.size});
        EXPECT_EQ(q, arena() + before + 4) << "realloc(p, " << c.size << ") takes the next block";
        EXPECT_EQ(header(q), c.size ? c.size : 1);
        EXPECT_EQ(read_bytes(q, c.copied.size()), c.copied) << "realloc(p, " << c.size << ")";
        size_t rest = 16 - c.copied.size();
        EXPECT_EQ(escaped(read_bytes(q + c.copied.size(), rest)), escaped(std::string(rest, '\0')))
            << "realloc(p, " << c.size << ") copies nothing more";
        EXPECT_EQ(read_bytes(p, 8), "abcdefgh") << "the old block stays as it was";
    }

    // The last block of the arena is not grown in place either.
    uint32_t last = call("malloc", {4});
    EXPECT_EQ(call("realloc", {last, 4}), last + 8);

    // A block from malloc(0) holds 1 in its header: one byte is copied.
    uint32_t tiny = call("malloc", {0});
    write_bytes(tiny, "xyz");
    uint32_t grown = call("realloc", {tiny, 4});
    EXPECT_EQ(escaped(read_bytes(grown, 4)), escaped(std::string("x\0\0\0", 4)));
}

TEST_F(Heap, FailedReallocLeavesTheOldBlock) {
    uint32_t p = call("malloc", {8});
    write_bytes(p, "keepthis");
    fill_arena_leaving(16);
    expect_refused("realloc", {p, 16});
    EXPECT_EQ(read_bytes(p, 8), "keepthis");
    EXPECT_NE(call("realloc", {p, 12}), 0u) << "a block that fits exactly still works";
}

TEST_F(Heap, StringDuplicatesTakeBlocksOfLengthPlusOne) {
    struct Case {
        const char *function;
        const char *text;
        uint32_t n; // strndup only
        std::string copy;
    } cases[] = {
        {"strdup", "", 0, ""},           {"strdup", "abc", 0, "abc"},
        {"strndup", "abcdef", 3, "abc"}, {"strndup", "ab", 5, "ab"},
        {"strndup", "abc", 0, ""},       {"strndup", "abc", 0xFFFFFFFF, "abc"},
    };
    for (const Case &c : cases) {
        std::vector<uint32_t> args = {str(c.text)};
        if (std::string(c.function) == "strndup") args.push_back(c.n);
        uint32_t before = used();
        uint32_t copy = call(c.function, args);
        std::string what =
            std::string(c.function) + "(\"" + c.text + "\", " + std::to_string(c.n) + ")";
        ASSERT_NE(copy, 0u) << what;
        EXPECT_EQ(copy, arena() + before + 4) << what << " is a heap block";
        EXPECT_EQ(header(copy), c.copy.size() + 1) << what;
        EXPECT_EQ(read_string(copy), c.copy) << what;
    }
    EXPECT_TRUE(canaries_intact());
}

TEST_F(Heap, StringDuplicatesOfNullAndLowPointers) {
    EXPECT_EQ(call("strdup", {0}), 0u);
    EXPECT_EQ(call("strndup", {0, 5}), 0u);
    EXPECT_EQ(used(), 0u) << "a null string allocates nothing";
    EXPECT_EQ(error_code(), 0);
    for (uint32_t low : {0x10u, 4095u}) {
        uint32_t copy = call("strndup", {low, 5});
        ASSERT_NE(copy, 0u) << "strndup(" << low << ", 5)";
        EXPECT_EQ(header(copy), 1u) << "a low pointer is an empty string, never read";
        EXPECT_EQ(read_string(copy), "");
        copy = call("strdup", {low});
        ASSERT_NE(copy, 0u) << "strdup(" << low << ")";
        EXPECT_EQ(read_string(copy), "");
    }
}

} // namespace
