// Guest memory's own promises: privileged fills stay inside the regions, the host protects each
// region as the guest sees it, and a snapshot brings writable regions back exactly, whether a
// page was zero or not when it was taken.
#include "machine/guest_memory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

using vekos::GuestMemory;
using vekos::kPageSize;

constexpr uint32_t kData = 0x10000, kCode = 0x20000;

std::vector<uint8_t> bytes_at(const GuestMemory &memory, uint32_t at, uint32_t n) {
    std::vector<uint8_t> out(n);
    EXPECT_TRUE(memory.read(at, out.data(), n)) << "reading " << n << " bytes at " << at;
    return out;
}

TEST(GuestMemory, FillIsPrivilegedButRangeChecked) {
    GuestMemory memory;
    ASSERT_TRUE(memory.add_region(kCode, kPageSize, vekos::kProtRead | vekos::kProtExec, "code"));
    EXPECT_FALSE(memory.add_region(kCode, kPageSize, vekos::kProtRead, "again")) << "overlap";
    EXPECT_TRUE(memory.fill(kCode, 0xF4, kPageSize)) << "read-only memory can be filled";
    EXPECT_EQ(bytes_at(memory, kCode, 4), std::vector<uint8_t>(4, 0xF4));
    EXPECT_FALSE(memory.fill(kCode + kPageSize - 2, 0xAA, 4)) << "runs past the region";
    EXPECT_EQ(bytes_at(memory, kCode + kPageSize - 2, 2), std::vector<uint8_t>(2, 0xF4))
        << "a refused fill changes nothing";
}

// Whether the host lets itself write the byte at `host`: a read into it fails with EFAULT
// where it can't, instead of faulting.
bool host_writable(uint8_t *host) {
    int zero = open("/dev/zero", O_RDONLY);
    ssize_t n = read(zero, host, 1);
    int error = errno;
    close(zero);
    EXPECT_TRUE(n == 1 || error == EFAULT);
    return n == 1;
}

// Engines let the guest reach these pages directly; the kernel still writes wherever it must.
TEST(GuestMemory, TheHostProtectsEachRegionAsTheGuestSeesIt) {
    struct Case {
        uint32_t prot;
        bool writable;
    } cases[] = {{vekos::kProtRead, false},
                 {vekos::kProtRead | vekos::kProtExec, false},
                 {vekos::kProtRead | vekos::kProtWrite, true},
                 {vekos::kProtExec, false},
                 {0, false}};
    for (const Case &c : cases) {
        GuestMemory memory;
        ASSERT_TRUE(memory.add_region(kData, 2 * kPageSize, c.prot, "region"));
        uint8_t *host = memory.regions().front().host;
        EXPECT_EQ(host_writable(host), c.writable) << "prot " << c.prot;
        EXPECT_TRUE(memory.fill(kData + kPageSize - 1, 0x5A, 2)) << "prot " << c.prot;
        EXPECT_EQ(host[kPageSize - 1] + host[kPageSize], 2 * 0x5A) << "readable, and filled";
        EXPECT_EQ(host_writable(host + kPageSize), c.writable) << "prot " << c.prot << " after";
    }
}

// Whether it copies back every page or (when all stores are noted) only those written.
TEST(GuestMemory, RestoreBringsBackZeroAndNonZeroPages) {
    for (bool only_written : {false, true}) {
        GuestMemory memory;
        ASSERT_TRUE(
            memory.add_region(kData, 4 * kPageSize, vekos::kProtRead | vekos::kProtWrite, "data"));
        // Pages 0 and 2 hold data, 1 and 3 are zero when the snapshot is taken.
        ASSERT_TRUE(memory.fill(kData, 0x11, kPageSize));
        ASSERT_TRUE(memory.fill(kData + 2 * kPageSize + 100, 0x22, 8));
        const std::vector<uint8_t> before = bytes_at(memory, kData, 4 * kPageSize);
        GuestMemory::Snapshot snapshot = memory.snapshot();
        memory.set_stores_noted(only_written);
        for (int round = 0; round < 2; round++) {
            ASSERT_TRUE(memory.fill(kData + (round ? 0 : 2 * kPageSize), 0, 2 * kPageSize));
            uint8_t word[4] = {1, 2, 3, 4};
            ASSERT_TRUE(memory.write(kData + kPageSize - 2, word, 4)); // across pages 0 and 1
            ASSERT_TRUE(memory.poke(kData + 3 * kPageSize + 9, word, 4));
            memory.restore(snapshot);
            EXPECT_EQ(bytes_at(memory, kData, 4 * kPageSize), before)
                << "round " << round << (only_written ? ", pages written only" : "");
        }
    }
}

} // namespace

namespace {

// A range taken out of the middle of a region leaves two regions that keep their bytes, and
// a restore afterwards passes over the pages that went (they were written since the snapshot).
TEST(GuestMemory, RemovingARangeSplitsTheRegion) {
    GuestMemory memory;
    const uint32_t rw = vekos::kProtRead | vekos::kProtWrite;
    ASSERT_TRUE(memory.add_region(kData, 4 * kPageSize, rw, "mapping"));
    memory.set_stores_noted(true);
    GuestMemory::Snapshot snapshot = memory.snapshot();
    for (uint32_t page = 0; page < 4; page++)
        ASSERT_TRUE(memory.fill(kData + page * kPageSize, uint8_t(page + 1), kPageSize));
    EXPECT_EQ(memory.remove_range(kData + kPageSize, 2 * kPageSize, "mapping"), 2 * kPageSize);
    EXPECT_EQ(memory.remove_range(kCode, kPageSize, "mapping"), 0u) << "nothing mapped there";
    ASSERT_TRUE(memory.add_region(kCode, kPageSize, rw, "image"));
    EXPECT_EQ(memory.remove_range(kCode, kPageSize, "mapping"), 0u) << "not a mapping";
    ASSERT_EQ(memory.regions().size(), 3u);
    EXPECT_EQ(memory.regions()[1].base, kData + 3 * kPageSize);
    EXPECT_FALSE(memory.accessible(kData + kPageSize, 1, vekos::kProtRead)) << "the cut is gone";
    EXPECT_EQ(bytes_at(memory, kData + 3 * kPageSize, 2), std::vector<uint8_t>(2, 4));
    memory.restore(snapshot);
    EXPECT_EQ(bytes_at(memory, kData, 2), std::vector<uint8_t>(2, 0)) << "the kept page restored";
}

} // namespace
