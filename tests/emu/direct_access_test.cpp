// Guest memory reached straight through the engine's window (machine/unicorn/direct_access.cpp):
// each access is one host instruction, an access the guest may not make faults exactly as
// Unicorn's own would, and the window is used only while it mirrors the guest and nothing
// must see the accesses.
#include "machine/engine.h"
#include "machine/unicorn/tweaks.h"
#include "testing/test_hooks.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace {

using vekos::Engine;
using vekos::FaultKind;
using vekos::GuestMemory;
using vekos::Reg;
using vekos::TestHooks;

constexpr uint32_t kCode = 0x400000;
constexpr uint32_t kData = 0x1000000;     // writable
constexpr uint32_t kReadOnly = 0x1001000; // then nothing from 0x1002000
constexpr uint32_t kUnmapped = 0x1002000;
constexpr uint32_t kTopPage = 0xFFFFF000; // the last page, below the window's guard

struct NoTraps : vekos::TrapHandler {
    void on_trap() override {}
};

// An instruction's opcode bytes, then a 32-bit address (and an immediate).
std::vector<uint8_t> with_address(std::vector<uint8_t> op, uint32_t address,
                                  std::vector<uint8_t> immediate = {}) {
    for (int shift = 0; shift < 32; shift += 8) op.push_back(uint8_t(address >> shift));
    for (uint8_t byte : immediate) op.push_back(byte);
    return op;
}
std::vector<uint8_t> load(uint32_t address) { // mov eax, [address]
    return with_address({0x8b, 0x05}, address);
}
std::vector<uint8_t> store(uint32_t address) { // mov [address], eax
    return with_address({0x89, 0x05}, address);
}
std::vector<uint8_t> store_word(uint32_t address) { // mov dword [address], 0x11223344
    return with_address({0xc7, 0x05}, address, {0x44, 0x33, 0x22, 0x11});
}
const std::vector<uint8_t> kSetEbx = {0xbb, 7, 0, 0, 0}; // mov ebx, 7
const std::vector<uint8_t> kSetEax = {0xb8, 1, 0, 0, 0}; // mov eax, 1

std::vector<uint8_t> joined(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> code;
    for (const auto &part : parts) code.insert(code.end(), part.begin(), part.end());
    return code;
}

std::unique_ptr<GuestMemory> memory_with(const std::vector<uint8_t> &code,
                                         uint32_t code_prot = vekos::kProtRead | vekos::kProtExec) {
    auto memory = std::make_unique<GuestMemory>();
    const uint32_t rw = vekos::kProtRead | vekos::kProtWrite;
    EXPECT_TRUE(memory->add_region(kCode, vekos::kPageSize, code_prot, "code"));
    EXPECT_TRUE(memory->add_region(kData, vekos::kPageSize, rw, "data"));
    EXPECT_TRUE(memory->add_region(kReadOnly, vekos::kPageSize, vekos::kProtRead, "rodata"));
    EXPECT_TRUE(memory->add_region(kTopPage, vekos::kPageSize, rw, "top"));
    memory->poke(kCode, code.data(), uint32_t(code.size()));
    return memory;
}

Engine::RunResult run(Engine &engine, GuestMemory &memory, const std::vector<uint8_t> &code) {
    NoTraps traps;
    engine.attach(memory);
    return engine.run(traps, kCode, kCode + uint32_t(code.size()), nullptr);
}

// Skips unless this engine has a window and uses it.
#define REQUIRE_WINDOW(engine)                                                                     \
    if (!vekos::unicorn::corrections_linked() || TestHooks::guest_window(engine) == nullptr)       \
    GTEST_SKIP() << "no guest window on this host (Unicorn corrections or a free range missing)"

// An engine's window lies below 2 GiB, where only one fits, or above, where the address and
// the window's base are added first: the accesses of both kinds of engine are tested.
bool low_window(const Engine &engine) {
    return reinterpret_cast<uintptr_t>(TestHooks::guest_window(engine)) <= INT32_MAX;
}

TEST(DirectAccess, EachLoadAndStoreIsOneHostInstructionOrThreeAboveTwoGigabytes) {
    // Host bytes of 64 accesses against 64 moves of a constant; a TLB lookup takes 78.
    auto per_access = [](const std::vector<uint8_t> &access, bool beside_another) {
        auto bytes_of = [&](const std::vector<uint8_t> &one) {
            std::vector<uint8_t> code;
            for (int i = 0; i < 64; i++) code.insert(code.end(), one.begin(), one.end());
            auto memory = memory_with(code);
            std::optional<Engine> other;
            if (beside_another) other.emplace();
            Engine engine;
            EXPECT_EQ(run(engine, *memory, code).stop, Engine::Stop::Until);
            EXPECT_TRUE(TestHooks::addresses_directly(engine));
            return std::pair(engine.translated_bytes(), low_window(engine));
        };
        auto [accesses, low] = bytes_of(access);
        return std::pair((accesses - bytes_of(joined({kSetEax, {0x90}})).first) / 64, low);
    };
    {
        Engine probe;
        REQUIRE_WINDOW(probe);
    }
    const size_t before = vekos::unicorn::direct_accesses();
    for (bool beside_another : {false, true}) {
        for (const auto &[what, access] :
             {std::pair("load", load(kData)), std::pair("store", store(kData))}) {
            auto [bytes, low] = per_access(access, beside_another);
            EXPECT_LE(bytes, low ? 12u : 24u)
                << "host bytes per guest " << what << (low ? " (window below 2 GiB)" : "");
        }
    }
    EXPECT_GE(vekos::unicorn::direct_accesses() - before, 256u);
}

TEST(DirectAccess, AnAccessTheGuestMayNotMakeFaultsAtItsInstruction) {
    struct Case {
        const char *what;
        std::vector<uint8_t> access;
        FaultKind kind;
        uint32_t address;
    } cases[] = {
        {"load of an unmapped page", load(kUnmapped), FaultKind::ReadUnmapped, kUnmapped},
        {"store to an unmapped page", store(kUnmapped), FaultKind::WriteUnmapped, kUnmapped},
        {"store to read-only data", store(kReadOnly), FaultKind::WriteProtected, kReadOnly},
        {"store to code", store(kCode), FaultKind::WriteProtected, kCode},
        {"load reaching into an unmapped page", load(kUnmapped - 2), FaultKind::ReadUnmapped,
         kUnmapped},
        {"store reaching into read-only data", store_word(kReadOnly - 2), FaultKind::WriteProtected,
         kReadOnly},
        {"load whose value is never read", joined({load(kUnmapped), kSetEax}),
         FaultKind::ReadUnmapped, kUnmapped},
    };
    for (const Case &c : cases)
        for (bool beside_another : {false, true}) {
            const auto code = joined({kSetEbx, c.access});
            auto memory = memory_with(code);
            std::optional<Engine> other;
            if (beside_another) other.emplace();
            Engine engine;
            REQUIRE_WINDOW(engine);
            const Engine::RunResult r = run(engine, *memory, code);
            ASSERT_EQ(r.stop, Engine::Stop::Fault) << c.what;
            EXPECT_TRUE(TestHooks::addresses_directly(engine)) << c.what;
            EXPECT_EQ(r.fault.kind, c.kind) << c.what;
            EXPECT_EQ(r.fault.address, c.address) << c.what << ": fault address";
            EXPECT_EQ(r.fault.eip, kCode + kSetEbx.size())
                << c.what << ": the access's instruction";
            EXPECT_EQ(engine.reg(Reg::Ebx), 7u) << c.what << ": the instruction before is done";
            uint32_t word = 1;
            memory->read(kReadOnly - 4, &word, 4);
            EXPECT_EQ(word, 0u) << c.what << ": a store that faults writes nothing";
        }
}

TEST(DirectAccess, AnAccessPastTheLastPageFaultsInTheGuest) {
    const auto code = load(0xFFFFFFFE);
    auto memory = memory_with(code);
    Engine engine;
    REQUIRE_WINDOW(engine);
    const Engine::RunResult r = run(engine, *memory, code);
    ASSERT_EQ(r.stop, Engine::Stop::Fault);
    EXPECT_EQ(r.fault.kind, FaultKind::ReadUnmapped);
    EXPECT_EQ(r.fault.eip, kCode);
}

TEST(DirectAccess, TheWindowHoldsOnlyTheAttachedMemory) {
    const auto code = load(kData);
    auto first = memory_with(code), second = std::make_unique<GuestMemory>();
    ASSERT_TRUE(
        second->add_region(kCode, vekos::kPageSize, vekos::kProtRead | vekos::kProtExec, "code"));
    second->poke(kCode, code.data(), uint32_t(code.size()));
    const uint32_t value = 0x5eed;
    first->write(kData, &value, 4);
    Engine engine;
    REQUIRE_WINDOW(engine);
    ASSERT_EQ(run(engine, *first, code).stop, Engine::Stop::Until);
    EXPECT_EQ(engine.reg(Reg::Eax), value);
    const Engine::RunResult r = run(engine, *second, code);
    ASSERT_EQ(r.stop, Engine::Stop::Fault) << "the first process's data must be gone";
    EXPECT_EQ(r.fault.kind, FaultKind::ReadUnmapped);
    ASSERT_EQ(run(engine, *first, code).stop, Engine::Stop::Until);
    EXPECT_EQ(engine.reg(Reg::Eax), value) << "and back with the first";
    // Pages given back while attached are reserved again, not left for the host to reuse.
    first->remove_range(kData, vekos::kPageSize, "data");
    EXPECT_EQ(run(engine, *first, code).fault.kind, FaultKind::ReadUnmapped);
    void *taken = mmap(TestHooks::guest_window(engine) + kData, vekos::kPageSize, PROT_READ,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    EXPECT_EQ(taken, MAP_FAILED) << "a hole in the window";
    if (taken != MAP_FAILED) munmap(taken, vekos::kPageSize);
    engine.detach(*first);
}

TEST(DirectAccess, IsOffWhileSomethingMustSeeTheAccessesOrTheHostCantMirrorThem) {
    const auto code = load(kData);
    struct Case {
        const char *what;
        uint32_t code_prot;
        bool watched, snapshot;
    } cases[] = {
        {"a watchpoint", vekos::kProtRead | vekos::kProtExec, true, false},
        {"a snapshot's store watch", vekos::kProtRead | vekos::kProtExec, false, true},
        {"writable code", vekos::kProtRead | vekos::kProtWrite | vekos::kProtExec, false, false},
        {"code the guest can't read", vekos::kProtExec, false, false},
    };
    struct Watch : vekos::AccessWatch {
        bool stop_after(uint32_t, uint32_t, bool) override { return false; }
    } watch;
    for (const Case &c : cases) {
        auto memory = memory_with(code, c.code_prot);
        Engine engine;
        REQUIRE_WINDOW(engine);
        engine.attach(*memory);
        Engine::AccessWatchId id = 0;
        if (c.watched) id = engine.watch_accesses(kData, 4, vekos::Access::Any, watch);
        if (c.snapshot) {
            memory->snapshot();
            engine.watch_stores();
        }
        EXPECT_FALSE(TestHooks::addresses_directly(engine)) << c.what;
        EXPECT_EQ(run(engine, *memory, code).stop, Engine::Stop::Until) << c.what;
        if (c.watched) {
            engine.unwatch_accesses(id);
            EXPECT_TRUE(TestHooks::addresses_directly(engine)) << c.what << " gone";
        }
    }
}

} // namespace
