// The allocator of -lvekos_malloc: random sequences of calls against the host's allocator,
// reuse of what free gives back, growth in place, and what it refuses.
#include "lib_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <random>

namespace {

constexpr int32_t out_of_memory = 12;
constexpr uint32_t arena_bytes = 256 << 10;

class Malloc : public LibFixture {
  protected:
    Malloc() : LibFixture(VEKOS_MALLOC_TEST_IMAGE) {}

    int32_t error_code() { return as_int(read_u32(symbol("errno"))); }

    // From the guest's traps so far: the bytes its mappings hold now, how many mappings
    // that is, and how many times it called mmap.
    int64_t mapped_bytes() {
        for (const TrapRecord &trap : traps()) {
            if (trap.number == VEKOS_TRAP_MMAP) mmap_calls_++;
            if (trap.number == VEKOS_TRAP_MMAP && trap.result != -1) {
                mapped_ += trap.args[1];
                mappings_++;
            }
            if (trap.number == VEKOS_TRAP_MUNMAP && trap.result == 0) {
                mapped_ -= trap.args[1];
                mappings_--;
            }
        }
        clear_traps();
        return mapped_;
    }
    int mappings() {
        mapped_bytes();
        return mappings_;
    }
    int mmap_calls() {
        mapped_bytes();
        return mmap_calls_;
    }

  private:
    int64_t mapped_ = 0;
    int mappings_ = 0, mmap_calls_ = 0;
};

// A live block as the guest has it, and the same block from the host's allocator.
struct Block {
    uint32_t size;
    unsigned char *host;
};

class RandomSequence : public Malloc {
  protected:
    ~RandomSequence() override {
        for (auto &[address, block] : live_) std::free(block.host);
    }

    uint32_t random_size() {
        uint32_t kind = below(100);
        if (kind < 60) return below(65);
        if (kind < 95) return below(4097);
        return below(300000); // larger than an arena
    }
    uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

    // Fills bytes [from, to) of a block with the same random bytes in guest and host.
    void fill(uint32_t address, Block &block, uint32_t from, uint32_t to) {
        std::string bytes(to - from, '\0');
        for (char &c : bytes) c = char(rng_());
        std::memcpy(block.host + from, bytes.data(), bytes.size());
        write_bytes(address + from, bytes);
    }

    // A new block at `address`: aligned, and overlapping no other live block.
    void expect_placed(uint32_t address, uint32_t size, const std::string &what) {
        ASSERT_NE(address, 0u) << what << ": expected a block";
        ASSERT_EQ(address % 8, 0u) << what << ": expected 8-byte alignment";
        auto after = live_.lower_bound(address);
        if (after != live_.end()) {
            ASSERT_LE(address + std::max(size, 1u), after->first)
                << what << " at " << address << " overlaps the live block at " << after->first;
        }
        if (after != live_.begin()) {
            auto before = std::prev(after);
            ASSERT_LE(before->first + std::max(before->second.size, 1u), address)
                << what << " at " << address << " overlaps the live block at " << before->first
                << " of " << before->second.size << " bytes";
        }
    }

    void expect_same_bytes(uint32_t address, const Block &block, uint32_t n,
                           const std::string &what) {
        std::string guest = read_bytes(address, n);
        ASSERT_EQ(std::memcmp(guest.data(), block.host, n), 0)
            << what << ": the guest's block at " << address << " differs from the host's in its "
            << n << " bytes";
    }

    void allocate(bool cleared) {
        uint32_t size = random_size();
        uint32_t count = cleared ? 1 + below(4) : 1;
        std::string what = (cleared ? "calloc(" + std::to_string(count) + ", " : "malloc(") +
                           std::to_string(size) + ")";
        uint32_t address = cleared ? call("calloc", {count, size}) : call("malloc", {size});
        size *= count;
        ASSERT_NO_FATAL_FAILURE(expect_placed(address, size, what));
        Block block{size, static_cast<unsigned char *>(cleared ? std::calloc(std::max(size, 1u), 1)
                                                               : std::malloc(std::max(size, 1u)))};
        if (cleared) {
            ASSERT_NO_FATAL_FAILURE(expect_same_bytes(address, block, size, what));
        }
        fill(address, block, 0, size);
        live_[address] = block;
    }

    void reallocate(std::map<uint32_t, Block>::iterator it) {
        uint32_t old_address = it->first, size = random_size();
        Block block = it->second;
        uint32_t old = block.size;
        live_.erase(it);
        std::string what = "realloc(" + std::to_string(old_address) + " of " + std::to_string(old) +
                           " bytes, " + std::to_string(size) + ")";
        uint32_t address = call("realloc", {old_address, size});
        ASSERT_NO_FATAL_FAILURE(expect_placed(address, size, what));
        block.host = static_cast<unsigned char *>(std::realloc(block.host, std::max(size, 1u)));
        block.size = size;
        ASSERT_NO_FATAL_FAILURE(expect_same_bytes(address, block, std::min(old, size), what));
        if (size > old) fill(address, block, old, size);
        live_[address] = block;
    }

    std::map<uint32_t, Block> live_; // by guest address
    std::mt19937 rng_{20261208};
};

TEST_F(RandomSequence, BlocksKeepTheirBytesAndNeverOverlap) {
    int64_t peak_live = 0, peak_mapped = 0;
    for (int step = 0; step < 2500; step++) {
        uint32_t kind = below(10);
        if (live_.empty() || kind < 4) {
            ASSERT_NO_FATAL_FAILURE(allocate(kind == 0));
        } else {
            auto it = std::next(live_.begin(), below(uint32_t(live_.size())));
            if (kind < 7) {
                ASSERT_NO_FATAL_FAILURE(reallocate(it));
            } else {
                call("free", {it->first});
                std::free(it->second.host);
                live_.erase(it);
            }
        }
        int64_t live = 0;
        for (auto &[address, block] : live_) live += block.size;
        peak_live = std::max(peak_live, live);
        peak_mapped = std::max(peak_mapped, mapped_bytes());
        if (step % 250 == 249) {
            for (auto &[address, block] : live_)
                ASSERT_NO_FATAL_FAILURE(expect_same_bytes(address, block, block.size,
                                                          "after step " + std::to_string(step)));
        }
    }
    EXPECT_EQ(error_code(), 0) << "no call failed";
    // Freed memory is used again: what is mapped stays near what is live.
    EXPECT_LT(peak_mapped, 2 * peak_live + 4 * arena_bytes)
        << "peak of live bytes " << peak_live << ", of mapped bytes " << peak_mapped;
    for (auto &[address, block] : live_) call("free", {address});
    EXPECT_EQ(mappings(), 1) << "once everything is freed, one arena stays mapped";
}

TEST_F(Malloc, FreedMemoryIsUsedAgain) {
    uint32_t p = call("malloc", {100});
    call("free", {p});
    EXPECT_EQ(call("malloc", {100}), p) << "the block freed last comes back first";

    // Allocating and freeing in a loop maps one arena, once.
    for (int i = 0; i < 300; i++) call("free", {call("malloc", {uint32_t(5000 + i)})});
    EXPECT_EQ(mmap_calls(), 1);
    EXPECT_EQ(mapped_bytes(), int64_t(arena_bytes));

    // Arenas left wholly free go back to the kernel, but for one.
    std::vector<uint32_t> blocks;
    for (uint32_t size : {3u << 20, 1u << 20}) blocks.push_back(call("malloc", {size}));
    for (int i = 0; i < 40; i++) blocks.push_back(call("malloc", {65536}));
    EXPECT_GT(mapped_bytes(), int64_t(6 << 20)) << "two large blocks and 40 of 64 KiB";
    for (uint32_t block : blocks) call("free", {block});
    EXPECT_EQ(mapped_bytes(), int64_t(arena_bytes)) << "the rest went back with munmap";
    EXPECT_NE(call("malloc", {3u << 20}), 0u) << "and can be mapped again";
}

TEST_F(Malloc, ReallocResizesInPlaceWhereItCan) {
    uint32_t a = call("malloc", {64}), b = call("malloc", {64}), c = call("malloc", {64});
    write_bytes(a, std::string(64, 'a'));
    call("free", {b});
    EXPECT_EQ(call("realloc", {a, 120}), a) << "grows into the free block after it";
    EXPECT_EQ(read_bytes(a, 64), std::string(64, 'a'));
    EXPECT_EQ(call("realloc", {a, 16}), a) << "shrinks where it is";
    EXPECT_EQ(call("malloc", {64}), a + 24) << "the tail it gave back is used again";

    // With d in use right after it, growing c moves it and frees the old block.
    uint32_t d = call("malloc", {64});
    write_bytes(c, std::string(64, 'c'));
    uint32_t moved = call("realloc", {c, 5000});
    EXPECT_NE(moved, c);
    EXPECT_EQ(read_bytes(moved, 64), std::string(64, 'c'));
    EXPECT_EQ(call("malloc", {64}), a + 96)
        << "the old block, joined with the free bytes in front of it, is used again";
    uint32_t last = call("malloc", {100000});
    EXPECT_EQ(call("realloc", {last, 120000}), last) << "the rest of the arena is free";
    EXPECT_EQ(call("realloc", {moved, 0}), moved) << "realloc(p, 0) keeps the smallest block";
    EXPECT_NE(call("realloc", {0, 10}), 0u) << "realloc(null, n) is malloc(n)";
    EXPECT_NE(d, 0u);
}

TEST_F(Malloc, RefusalsSetErrnoAndKeepBlocks) {
    uint32_t p = call("malloc", {8});
    write_bytes(p, "keepthis");
    for (auto [function, args] :
         std::initializer_list<std::pair<const char *, std::vector<uint32_t>>>{
             {"malloc", {0xFFFFFFFFu}},
             {"malloc", {0xC0000000u}}, // more than the kernel maps
             {"calloc", {65536, 65536}},
             {"calloc", {0x80000001u, 2}},
             {"realloc", {p, 0xFFFFFFF0u}}}) {
        write_u32(symbol("errno"), 0);
        EXPECT_EQ(call(function, args), 0u) << function << " should fail";
        EXPECT_EQ(error_code(), out_of_memory) << function;
    }
    EXPECT_EQ(read_bytes(p, 8), "keepthis") << "a failed realloc leaves the block";

    script_trap(VEKOS_TRAP_MMAP, {-1});
    write_u32(symbol("errno"), 0);
    EXPECT_EQ(call("malloc", {arena_bytes}), 0u) << "no arena could be mapped";
    EXPECT_EQ(error_code(), out_of_memory);

    uint32_t zero = call("malloc", {0});
    EXPECT_NE(zero, 0u);
    EXPECT_NE(call("malloc", {0}), zero) << "malloc(0) gives distinct blocks";
    call("free", {0});
}

// A block freed already, or an address never handed out.
TEST_F(Malloc, FreeingABlockNotInUseEndsTheProgram) {
    for (const char *function : {"free", "realloc"}) {
        for (uint32_t offset : {0u, 4u}) {
            guest().reset();
            uint32_t p = call("malloc", {24});
            if (offset == 0) call("free", {p});
            CallOutcome outcome = call_outcome(function, {p + offset, 8});
            std::string what = std::string(function) + "(p + " + std::to_string(offset) + ")";
            EXPECT_TRUE(outcome.exited && outcome.exit_status == 1)
                << what << ": expected status 1, got " << outcome.describe();
            EXPECT_EQ(console(), std::string(function) +
                                     ": not a block in use (freed already, or never allocated)\n")
                << what;
        }
    }
}

} // namespace
