// The engine's fast path to guest memory (machine/unicorn/fast_path.cpp): loads carry no exit
// check of their own, and a loop over 2 MiB of pages keeps them all in the TLB, which no flush
// shrinks.
#include "machine/engine.h"
#include "machine/unicorn/tweaks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

using vekos::Engine;
using vekos::GuestMemory;

constexpr uint32_t kCode = 0x400000;
constexpr uint32_t kData = 0x1000000;
constexpr uint32_t kDataPages = 512;
constexpr uint32_t kSpare = 0x2000000;

struct NoTraps : vekos::TrapHandler {
    void on_trap() override {}
};

std::unique_ptr<GuestMemory> memory_with(const std::vector<uint8_t> &code) {
    auto memory = std::make_unique<GuestMemory>();
    EXPECT_TRUE(
        memory->add_region(kCode, vekos::kPageSize, vekos::kProtRead | vekos::kProtExec, "code"));
    EXPECT_TRUE(memory->add_region(kData, kDataPages * vekos::kPageSize,
                                   vekos::kProtRead | vekos::kProtWrite, "data"));
    memory->poke(kCode, code.data(), uint32_t(code.size()));
    return memory;
}

// Runs the code's first `length` bytes, all of them by default.
void run(Engine &engine, const std::vector<uint8_t> &code, size_t length = 0) {
    NoTraps traps;
    uint32_t until = kCode + uint32_t(length != 0 ? length : code.size());
    Engine::RunResult r = engine.run(traps, kCode, until, nullptr);
    ASSERT_EQ(r.stop, Engine::Stop::Until) << "fault at " << std::hex << r.fault.eip;
}

// `count` copies of one instruction, in one translated block.
std::vector<uint8_t> repeated(std::vector<uint8_t> instruction, int count) {
    std::vector<uint8_t> code;
    for (int i = 0; i < count; i++) code.insert(code.end(), instruction.begin(), instruction.end());
    return code;
}

size_t translated_bytes_of(const std::vector<uint8_t> &code) {
    auto memory = memory_with(code);
    Engine engine;
    engine.attach(*memory);
    run(engine, code);
    return engine.translated_bytes();
}

TEST(FastPath, ALoadTranslatesToNoMoreThanItsTlbLookup) {
    if (!vekos::unicorn::corrections_linked()) GTEST_SKIP() << "Unicorn corrections not linked";
    constexpr int kLoads = 64;
    uint8_t load[6] = {0x8b, 0x05}; // mov eax, [kData]
    std::memcpy(load + 2, &kData, 4);
    uint8_t move[6] = {0xb8, 0, 0, 0, 0, 0x90}; // mov eax, 0; nop
    size_t loads = translated_bytes_of(repeated({load, load + 6}, kLoads));
    size_t moves = translated_bytes_of(repeated({move, move + 6}, kLoads));
    // The TLB lookup inline and its call of the slow path take 78 bytes; an exit check 16 more.
    size_t per_load = (loads - moves) / kLoads;
    EXPECT_LE(per_load, 85u) << "host bytes per guest load: expected at most 85, got " << per_load;
}

// esi = kData; ecx = kDataPages (10 bytes), then a load from each page: eax = [esi];
// esi += 4096; loop while --ecx.
std::vector<uint8_t> page_walk() {
    std::vector<uint8_t> code = {0xbe, 0,    0,    0, 0,    0xb9, 0, 0,    0,    0,   0x8b,
                                 0x06, 0x81, 0xc6, 0, 0x10, 0,    0, 0x49, 0x75, 0xf5};
    std::memcpy(&code[1], &kData, 4);
    std::memcpy(&code[6], &kDataPages, 4);
    return code;
}

TEST(FastPath, ALoopOverTwoMegabytesKeepsEveryPageInTheTlbEvenAfterAFlush) {
    if (!vekos::unicorn::corrections_linked()) GTEST_SKIP() << "Unicorn corrections not linked";
    std::vector<uint8_t> code = page_walk();
    auto memory = memory_with(code);
    EXPECT_TRUE(memory->add_region(kSpare, vekos::kPageSize, vekos::kProtRead, "spare"));
    Engine engine;
    engine.attach(*memory);
    // A flush (unmapping) after QEMU's 100 ms window for resizing, with only the code used.
    run(engine, code, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    memory->remove_range(kSpare, vekos::kPageSize, "spare");
    run(engine, code);
    size_t before = vekos::unicorn::slow_accesses();
    run(engine, code);
    size_t misses = vekos::unicorn::slow_accesses() - before;
    EXPECT_LE(misses, 8u) << "TLB misses over " << kDataPages
                          << " pages seen before: expected at most 8, got " << misses;
}

} // namespace

// Mapping a program before it runs flushes an empty TLB: skipped. Once a page is in it, the
// next change of the memory map flushes it, and the code the new memory holds is what runs.
TEST(TlbFlushes, AnEmptyTlbIsNotFlushedAgain) {
    if (!vekos::unicorn::corrections_linked()) GTEST_SKIP() << "Unicorn corrections not linked";
    const std::vector<uint8_t> load = {0x8b, 0x05, 0x00, 0x00, 0x00, 0x01}; // mov eax, [kData]
    const std::vector<uint8_t> other = {0xb8, 0x07, 0x00, 0x00, 0x00};      // mov eax, 7
    auto first = memory_with(load);
    auto second = memory_with(other);
    second->add_region(kSpare, vekos::kPageSize, vekos::kProtRead, "spare");
    Engine engine; // goes before the memories it has attached
    const size_t before = vekos::unicorn::tlb_flushes();
    engine.attach(*first);
    EXPECT_EQ(vekos::unicorn::tlb_flushes(), before) << "the TLB held nothing yet";
    run(engine, load);
    engine.attach(*second);
    EXPECT_GT(vekos::unicorn::tlb_flushes(), before) << "a used TLB must be flushed";
    run(engine, other);
    EXPECT_EQ(engine.reg(vekos::Reg::Eax), 7u) << "the second memory's code runs";
}
