// Checkpoints for going back: each brings back the memory and registers it was taken with,
// unchanged pages are shared, and over budget far ones go while the oldest, the newest and
// the one just taken stay.
#include "replay/checkpoints.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using vekos::Checkpoints;
using vekos::Engine;
using vekos::GuestMemory;
using vekos::kPageSize;
using vekos::Reg;

constexpr uint32_t kData = 0x10000;
constexpr uint32_t kPages = 16;

struct Machine {
    GuestMemory memory;
    Engine engine;
    Machine() {
        memory.add_region(kData, kPages * kPageSize, vekos::kProtRead | vekos::kProtWrite, "data");
        engine.attach(memory);
    }
    ~Machine() { engine.detach(memory); }
};

TEST(Checkpoints, EachBringsBackItsMemoryAndRegisters) {
    Machine m;
    Checkpoints checkpoints(64 << 20);
    // Checkpoint i, taken at 100 * i instructions: pages 0..i hold 1..i+1, eax holds i.
    for (uint32_t i = 0; i < 4; ++i) {
        m.memory.write_u32(kData + i * kPageSize, i + 1);
        m.engine.set_reg(Reg::Eax, i);
        checkpoints.take(m.engine, m.memory, {i * 100, i, 0});
    }
    EXPECT_LT(checkpoints.bytes() - 4 * m.engine.context_bytes(), 5 * kPageSize)
        << "expected 4 pages copied in all, not one copy per checkpoint";
    for (uint32_t i : {1u, 3u, 0u, 2u}) {
        ASSERT_TRUE(checkpoints.restore(i * 100, m.engine, m.memory)) << "checkpoint " << i;
        for (uint32_t page = 0; page < 4; ++page)
            EXPECT_EQ(*m.memory.read_u32(kData + page * kPageSize), page <= i ? page + 1 : 0)
                << "checkpoint " << i << ", page " << page;
        EXPECT_EQ(m.engine.reg(Reg::Eax), i) << "checkpoint " << i;
    }
    const std::pair<uint64_t, uint64_t> nearest[] = {{0, 0}, {99, 0}, {100, 100}, {350, 300}};
    for (auto [executed, expected] : nearest)
        EXPECT_EQ(checkpoints.at_or_before(executed)->executed, expected) << "at " << executed;
    checkpoints.drop_before_position(2);
    checkpoints.drop_from(300);
    EXPECT_EQ(checkpoints.count(), 1u);
    EXPECT_EQ(checkpoints.oldest()->executed, 200u) << "expected only the one at position 2";
}

TEST(Checkpoints, OverBudgetFarOnesGoFirst) {
    Machine m;
    Checkpoints checkpoints(UINT64_MAX);
    checkpoints.take(m.engine, m.memory, {0, 0, 0});
    checkpoints.set_budget(4 * checkpoints.bytes()); // room for four of these
    for (uint64_t at = 100; at <= 1000; at += 100) checkpoints.take(m.engine, m.memory, {at, 0, 0});
    checkpoints.take(m.engine, m.memory, {550, 0, 0}); // back in the middle
    std::vector<uint64_t> kept;
    for (auto *c = checkpoints.oldest(); c; c = checkpoints.after(c->executed))
        kept.push_back(c->executed);
    ASSERT_EQ(kept.size(), 4u);
    EXPECT_EQ(kept.front(), 0u) << "expected the oldest kept";
    EXPECT_EQ(kept.back(), 1000u) << "expected the newest kept";
    EXPECT_TRUE(checkpoints.at_or_before(550)->executed == 550)
        << "expected the one just taken kept, got " << checkpoints.at_or_before(550)->executed;
}

} // namespace
