// The additions for ported programs (fgets, perror, qsort, bsearch, setjmp and longjmp,
// strtoll and strtoull, memchr, clock and time), against the host's C library on random
// inputs.
#include "lib_fixture.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using vekos::harness::Reg;

int host_compare_ints(const void *a, const void *b) {
    int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
    return (x > y) - (x < y);
}
int host_compare_records(const void *a, const void *b) {
    for (int i = 0; i < 3; i++)
        if (int order =
                host_compare_ints(static_cast<const int *>(a) + i, static_cast<const int *>(b) + i))
            return order;
    return 0;
}

// Elements of one int, or records of three, with the guest's and the host's comparators;
// both order whole elements, so equal elements are equal bytes and every sort has one answer.
struct ElementKind {
    const char *guest_compare;
    int (*host_compare)(const void *, const void *);
    size_t ints;
};
const ElementKind element_kinds[] = {{"compare_ints", host_compare_ints, 1},
                                     {"compare_records", host_compare_records, 3}};

std::string bytes_of(const std::vector<int> &ints) {
    return std::string(reinterpret_cast<const char *>(ints.data()), ints.size() * 4);
}

class PortingAids : public LibFixture {
  protected:
    // count elements of `kind`, from a small range of values, so that many repeat.
    std::vector<int> random_elements(const ElementKind &kind, size_t count) {
        std::vector<int> ints(count * kind.ints);
        ints.reserve(1); // an address even when empty: the host's qsort and bsearch take no null
        for (int &v : ints) v = std::uniform_int_distribution<int>(-4, 4)(rng_);
        return ints;
    }
    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

    std::mt19937 rng_{20261207};
};

TEST_F(PortingAids, QsortAndBsearchAgreeWithTheHost) {
    for (const ElementKind &kind : element_kinds) {
        uint32_t size = uint32_t(kind.ints * 4), compare = symbol(kind.guest_compare);
        for (int round = 0; round < 12; round++) {
            size_t count = round < 3 ? size_t(round) : below(150);
            std::vector<int> sorted = random_elements(kind, count);
            uint32_t array = buffer(bytes_of(sorted));
            std::qsort(sorted.data(), count, size, kind.host_compare);
            call("qsort", {array, uint32_t(count), size, compare});
            ASSERT_EQ(escaped(read_bytes(array, count * size)), escaped(bytes_of(sorted)))
                << "qsort of " << count << " elements of " << size << " bytes";

            // Among equal elements either may answer: the one found must equal the key.
            for (int search = 0; search < 4; search++) {
                std::vector<int> key = random_elements(kind, 1);
                bool host = std::bsearch(key.data(), sorted.data(), count, size, kind.host_compare);
                uint32_t found =
                    call("bsearch", {buffer(bytes_of(key)), array, uint32_t(count), size, compare});
                std::string context = "bsearch for " + escaped(bytes_of(key)) + " among " +
                                      std::to_string(count) + " sorted elements";
                ASSERT_EQ(found != 0, host)
                    << context << ": expected " << (host ? "an element" : "null");
                if (!found) continue;
                EXPECT_TRUE((found - array) % size == 0 && read_bytes(found, size) == bytes_of(key))
                    << context << ": expected an element equal to the key, got offset "
                    << found - array << ", " << escaped(read_bytes(found, size));
            }
        }
    }
    // A count * size past 32 bits is refused before any element is touched.
    uint32_t unsorted = buffer(bytes_of({2, 1}));
    call("qsort", {unsorted, 0x80000001u, 4, symbol("compare_ints")});
    EXPECT_EQ(read_u32(unsorted), 2u) << "qsort with an overflowing size changed the array";
    EXPECT_TRUE(canaries_intact());
}

TEST_F(PortingAids, FgetsReadsLinesAsTheHostDoes) {
    const std::string path = (root() / "lines.txt").string();
    for (int round = 0; round < 6; round++) {
        // Short lines, empty ones, a NUL byte and maybe no final line feed.
        std::string content;
        for (size_t n = below(80); n > 0; n--) content += "ab\n\0xyz"[below(7)];
        std::ofstream(path, std::ios::binary) << content;
        FILE *host = std::fopen(path.c_str(), "rb");
        ASSERT_NE(host, nullptr) << path;
        uint32_t stream = call("fopen", {str("/lines.txt"), str("r")});
        ASSERT_NE(stream, 0u) << "fopen(\"/lines.txt\", \"r\")";
        for (int line = 0; line < 100; line++) {
            int size = 1 + int(below(12));
            std::string host_buffer(size, '\xAA');
            uint32_t guest_buffer = alloc(size, 0xAA);
            bool host_got = std::fgets(host_buffer.data(), size, host) != nullptr;
            uint32_t got = call("fgets", {guest_buffer, uint32_t(size), stream});
            std::string context = "fgets(" + std::to_string(size) + ") call " +
                                  std::to_string(line) + " on " + escaped(content);
            ASSERT_EQ(got != 0, host_got)
                << context << ": expected " << (host_got ? "the buffer" : "null");
            ASSERT_EQ(escaped(read_bytes(guest_buffer, size)), escaped(host_buffer)) << context;
            ASSERT_EQ(as_int(call("ftell", {stream})), int(std::ftell(host))) << context;
            if (!host_got) break;
        }
        std::fclose(host);
        call("fclose", {stream});
    }
    EXPECT_TRUE(canaries_intact());
}

// Size 0 or below, a null stream and a stream that can't be read: null, and nothing stored.
TEST_F(PortingAids, FgetsRefusesWhatItCannotRead) {
    uint32_t memory_stream = call("open_memstream", {alloc(4), alloc(4)});
    for (auto [size, stream] :
         {std::pair{0, symbol("g_stdin")}, {-1, symbol("g_stdin")}, {8, 0u}, {8, memory_stream}}) {
        uint32_t buffer = alloc(8, 0xAA);
        EXPECT_EQ(call("fgets", {buffer, uint32_t(size), stream}), 0u)
            << "fgets(buffer, " << size << ", " << stream << "): expected null";
        EXPECT_EQ(read_bytes(buffer, 8), std::string(8, '\xAA'))
            << "fgets(buffer, " << size << ", " << stream << ") stored bytes";
    }
}

// "prefix: text\n", as C's perror writes it.
std::string perror_line(const char *prefix, const std::string &text) {
    return (prefix && *prefix ? std::string(prefix) + ": " : "") + text + "\n";
}

TEST_F(PortingAids, PerrorWritesPrefixAndTextAsTheHostDoes) {
    for (const char *prefix : {"cp", "", static_cast<const char *>(nullptr), "x: y"}) {
        for (int code : {0, 2, 12, 22, 38, int(below(200))}) {
            // The host's line shows the shape; the text is each library's own.
            errno = code;
            testing::internal::CaptureStderr();
            std::perror(prefix);
            EXPECT_EQ(testing::internal::GetCapturedStderr(),
                      perror_line(prefix, std::strerror(code)));

            write_u32(symbol("errno"), uint32_t(code));
            clear_console();
            call("perror", {prefix ? str(prefix) : 0u});
            std::string text = read_string(call("strerror", {uint32_t(code)}));
            EXPECT_EQ(escaped(console()), escaped(perror_line(prefix, text)))
                << "perror(" << (prefix ? prefix : "NULL") << ") with errno " << code;
            EXPECT_EQ(as_int(read_u32(symbol("errno"))), code) << "perror changed errno";
        }
    }
}

// setjmp's second return, as the host's returns it: the value, or 1 for 0.
int host_round_trip(int value) {
    std::jmp_buf env;
    volatile int got = setjmp(env);
    if (got == 0) std::longjmp(env, value);
    return got;
}

TEST_F(PortingAids, LongjmpReturnsWhatTheHostsDoes) {
    std::vector<int> values = {0, 1, -1, 0x7fffffff, int(0x80000000u)};
    for (int i = 0; i < 8; i++) values.push_back(int(rng_()));
    for (int value : values) {
        for (int depth : {0, 1, 7}) {
            // A setjmp that returns 0 again jumps forever: the limit ends it at once.
            CallOutcome outcome =
                call_outcome("setjmp_round_trip", {uint32_t(value), uint32_t(depth)}, 100000);
            std::string context = "longjmp(env, " + std::to_string(value) + ") from " +
                                  std::to_string(depth) + " calls deeper";
            ASSERT_TRUE(outcome.returned) << context << ": " << outcome.describe();
            EXPECT_EQ(int(outcome.eax), host_round_trip(value)) << context;
        }
    }
}

// setjmp stores the registers a call preserves, the stack pointer and the return address;
// longjmp, given those words with other register values, comes back to that return address
// with exactly them.
TEST_F(PortingAids, LongjmpRestoresEveryRegisterSetjmpKeeps) {
    const Reg kept[] = {Reg::Ebx, Reg::Esi, Reg::Edi, Reg::Ebp};
    const uint32_t at_setjmp[] = {0x0b0b0b0b, 0x05050505, 0x0d0d0d0d, 0x0e0e0e0e};
    const uint32_t planted[] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
    for (int i = 0; i < 4; i++) guest().kernel().engine().set_reg(kept[i], at_setjmp[i]);
    uint32_t env = alloc(24, 0xAA);
    ASSERT_EQ(call("setjmp", {env}), 0u);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(read_u32(env + 4 * i), at_setjmp[i]) << "jmp_buf word " << i;
    EXPECT_EQ(read_u32(env + 16), guest().reg(Reg::Esp)) << "jmp_buf word 4, the stack pointer";
    EXPECT_EQ(read_u32(env + 20), guest().reg(Reg::Eip)) << "jmp_buf word 5, the return address";

    for (int i = 0; i < 4; i++) write_u32(env + 4 * i, planted[i]);
    CallOutcome outcome = call_outcome("longjmp", {env, 0});
    ASSERT_TRUE(outcome.returned) << "longjmp should come back to setjmp's caller; "
                                  << outcome.describe();
    EXPECT_EQ(outcome.eax, 1u) << "longjmp with 0 makes setjmp return 1";
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(guest().reg(kept[i]), planted[i]) << "register " << i << " after longjmp";
    EXPECT_EQ(guest().reg(Reg::Esp), read_u32(env + 16)) << "esp after longjmp";
    EXPECT_TRUE(canaries_intact());
}

// Value, end and errno as the host's: signs, prefixes, every base, the limits and past them.
TEST_F(PortingAids, StrtollAndStrtoullAgreeWithTheHost) {
    std::vector<std::string> texts = {"",
                                      "  +42",
                                      "\v\f\r\n\t-17x",
                                      "-0x1F",
                                      "0x",
                                      "0xg",
                                      "0X1fz",
                                      "0778",
                                      "09",
                                      "zZ",
                                      "-",
                                      "+-1",
                                      " - 1",
                                      "0b101",
                                      "9223372036854775807",
                                      "9223372036854775808",
                                      "-9223372036854775808",
                                      "-9223372036854775809",
                                      "18446744073709551615",
                                      "18446744073709551616",
                                      "-18446744073709551615",
                                      "-1",
                                      "123456789012345678901234"};
    for (int i = 0; i < 150; i++) {
        std::string text;
        for (size_t n = below(24); n > 0; n--) text += "0123456789afxXzZ+- \t"[below(21)];
        texts.push_back(text);
    }
    uint32_t end = alloc(4);
    for (const std::string &text : texts) {
        uint32_t s = str(text);
        for (int base : {0, 2, 8, 10, 16, 36, 1, 37, -1}) {
            for (bool is_signed : {true, false}) {
                const char *function = is_signed ? "strtoll" : "strtoull";
                char *host_end = const_cast<char *>(text.c_str());
                errno = 0;
                uint64_t host = is_signed ? uint64_t(std::strtoll(text.c_str(), &host_end, base))
                                          : std::strtoull(text.c_str(), &host_end, base);
                int host_errno = errno;
                write_u32(symbol("errno"), 0);
                uint64_t guest = call64(function, {s, end, uint32_t(base)});
                std::string what = std::string(function) + "(\"" + escaped(text) + "\", " +
                                   std::to_string(base) + ")";
                EXPECT_EQ(guest, host) << what;
                // A bad base leaves the end at the string: AddressSanitizer's strtoll moves the
                // host's, so only a valid base's end is compared with it.
                const bool valid_base = base == 0 || (base >= 2 && base <= 36);
                const uint32_t expected_end = valid_base ? uint32_t(host_end - text.c_str()) : 0;
                EXPECT_EQ(read_u32(end) - s, expected_end) << what << ": end";
                EXPECT_EQ(as_int(read_u32(symbol("errno"))), host_errno) << what << ": errno";
            }
        }
    }
    write_u32(end, 0xAAAAAAAA);
    EXPECT_EQ(call64("strtoll", {0, end, 10}), 0u) << "a null string is no number";
    EXPECT_EQ(read_u32(end), 0u) << "end is the null string";
}

TEST_F(PortingAids, MemchrFindsWhatTheHostFinds) {
    for (int round = 0; round < 300; round++) {
        std::string bytes;
        for (size_t n = below(40); n > 0; n--) bytes += "ab\0\x80\xff"[below(5)];
        int c = std::vector<int>{'a', 'b', 0, 0x80, -1, 0x161, 'z'}[below(7)];
        size_t n = below(bytes.size() + 1);
        uint32_t guest_bytes = buffer(bytes);
        const void *host = std::memchr(bytes.data(), c, n);
        uint32_t found = call("memchr", {guest_bytes, uint32_t(c), uint32_t(n)});
        uint32_t expected =
            host ? guest_bytes + uint32_t(static_cast<const char *>(host) - bytes.data()) : 0;
        ASSERT_EQ(found, expected)
            << "memchr(\"" << escaped(bytes) << "\", " << c << ", " << n << ")";
    }
    // It reads no byte past the first match: a count far past the buffer still finds it.
    uint32_t text = buffer("abcx");
    EXPECT_EQ(call("memchr", {text, 'x', 0xFFFFFFFFu}), text + 3);
    EXPECT_TRUE(canaries_intact());
}

// vekos has no clock to read: both say so without a trap, and difftime subtracts as the host's.
TEST_F(PortingAids, ClockAndTimeSayTheTimeIsNotAvailable) {
    EXPECT_EQ(as_int(call("clock", {})), -1);
    EXPECT_EQ(as_int(call("time", {0})), -1);
    uint32_t now = words({0x12345678});
    EXPECT_EQ(as_int(call("time", {now})), -1);
    EXPECT_EQ(as_int(read_u32(now)), -1) << "time stores -1 too";
    EXPECT_TRUE(traps().empty()) << describe(traps());
    for (auto [end, start] :
         {std::pair{10, 3}, {-5, 7}, {INT32_MIN, INT32_MAX}, {INT32_MAX, INT32_MIN}}) {
        EXPECT_EQ(double(call_long_double("difftime", {uint32_t(end), uint32_t(start)})),
                  std::difftime(end, start))
            << "difftime(" << end << ", " << start << ")";
    }
}

} // namespace
