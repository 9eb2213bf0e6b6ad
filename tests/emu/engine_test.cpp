// The engine on its own: processes taking turns on it whichever way the host moves pages, its
// teardown, the translation buffer over many processes, a snapshot's stores seen across
// processes, and watched data accesses.
#include "machine/engine.h"
#include "machine/unicorn/tweaks.h"
#include "testing/test_hooks.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using vekos::Engine;
using vekos::GuestMemory;
using vekos::Reg;

constexpr uint32_t kCode = 0x400000;

struct NoTraps : vekos::TrapHandler {
    void on_trap() override {}
};

// A process whose code is `count` times "mov eax, value + i", then a stop.
std::unique_ptr<GuestMemory> program(uint32_t value, uint32_t count = 1) {
    auto memory = std::make_unique<GuestMemory>();
    uint32_t size = (count * 5 + vekos::kPageSize) & ~(vekos::kPageSize - 1);
    EXPECT_TRUE(memory->add_region(kCode, size, vekos::kProtRead | vekos::kProtExec, "code"));
    for (uint32_t i = 0; i < count; i++) {
        uint8_t mov[5] = {0xb8};
        uint32_t v = value + i;
        std::memcpy(mov + 1, &v, 4);
        memory->poke(kCode + 5 * i, mov, 5);
    }
    return memory;
}

uint32_t run(Engine &engine, GuestMemory &memory, uint32_t count = 1) {
    NoTraps traps;
    engine.attach(memory);
    Engine::RunResult r = engine.run(traps, kCode, kCode + 5 * count, nullptr);
    EXPECT_EQ(r.stop, Engine::Stop::Until) << "fault at " << std::hex << r.fault.eip;
    return engine.reg(Reg::Eax);
}

// MREMAP_DONTUNMAP as Linux 5.7 and later grant it: the pages move, the old range stays
// mapped and empty.
void *remap_keeping_the_range(void *old_address, size_t old_size, size_t new_size, int flags,
                              void *new_address) {
    if (!(flags & MREMAP_DONTUNMAP))
        return mremap(old_address, old_size, new_size, flags, new_address);
    void *to = mmap(nullptr, new_size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    void *moved = mremap(old_address, old_size, new_size, MREMAP_MAYMOVE | MREMAP_FIXED, to);
    if (moved == MAP_FAILED) return moved;
    mmap(old_address, old_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
         0);
    return moved;
}

// As older kernels: the flag is refused.
void *remap_refusing_the_flag(void *old_address, size_t old_size, size_t new_size, int flags,
                              void *new_address) {
    if (flags & MREMAP_DONTUNMAP) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return mremap(old_address, old_size, new_size, flags, new_address);
}

TEST(Engine, ProcessesTakeTurnsAndTheEngineGoesWhicheverWayPagesMove) {
    struct Case {
        const char *host;
        vekos::TestHooks::HostRemap remap;
    } cases[] = {{"MREMAP_DONTUNMAP granted", &remap_keeping_the_range},
                 {"MREMAP_DONTUNMAP refused", &remap_refusing_the_flag}};
    for (const Case &c : cases) {
        vekos::TestHooks::set_host_remap(c.remap);
        {
            auto parent = program(1), child = program(2);
            auto engine = std::make_unique<Engine>();
            EXPECT_EQ(run(*engine, *parent), 1u) << c.host;
            EXPECT_EQ(run(*engine, *child), 2u) << c.host << ": the child's code at that place";
            EXPECT_EQ(run(*engine, *parent), 1u) << c.host << ": the parent's again";
            engine->detach(*parent);
            engine.reset(); // with its mappings kept for the next process, if the host let it
        }
        vekos::TestHooks::set_host_remap(nullptr);
    }
}

size_t resident_bytes() {
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return size_t(resident) * size_t(sysconf(_SC_PAGESIZE));
}

TEST(Engine, TranslationsAreFlushedBetweenProcessesPastTheLimit) {
    if (Engine().translated_bytes() == 0)
        GTEST_SKIP() << "this Unicorn release doesn't report its translation buffer";
    constexpr size_t kLimit = 256 << 10;
    constexpr uint32_t kInstructions = 1000; // a few KiB of host code each
    Engine engine;
    vekos::TestHooks::set_translation_limit(engine, kLimit);
    size_t most = 0;
    for (uint32_t i = 0; i < 300; i++) {
        auto memory = program(i, kInstructions);
        EXPECT_EQ(run(engine, *memory, kInstructions), i + kInstructions - 1);
        engine.detach(*memory);
        most = std::max(most, engine.translated_bytes());
    }
    EXPECT_LE(most, 2 * kLimit) << "translations past the limit were kept";
}

// A program rewriting the code it runs makes a new translation on each pass: the run itself
// must flush before the buffer fills (which crashes Unicorn 2.0.1), in bounded memory.
TEST(Engine, ARunRetranslatingWithoutEndStaysInBoundedMemory) {
    if (Engine().translated_bytes() == 0)
        GTEST_SKIP() << "this Unicorn release doesn't report its translation buffer";
    constexpr size_t kBuffer = 2 << 20;
    constexpr uint32_t kPasses = 40000; // a few hundred bytes of host code each
    // mov ecx, kPasses; again: mov [patch + 1], ecx; patch: mov eax, 0; dec ecx; jnz again
    uint8_t code[] = {0xb9, 0, 0, 0, 0, 0x89, 0x0d, 0, 0, 0, 0, 0xb8, 0, 0, 0, 0, 0x49, 0x75, 0xf2};
    uint32_t passes = kPasses, patch = kCode + 12;
    std::memcpy(code + 1, &passes, 4);
    std::memcpy(code + 7, &patch, 4);
    GuestMemory memory;
    ASSERT_TRUE(memory.add_region(kCode, vekos::kPageSize,
                                  vekos::kProtRead | vekos::kProtWrite | vekos::kProtExec, "code"));
    memory.poke(kCode, code, sizeof code);
    vekos::TestHooks::set_translation_buffer(kBuffer);
    Engine engine;
    vekos::TestHooks::set_translation_buffer(vekos::unicorn::kTranslationBuffer);
    size_t before = resident_bytes();
    NoTraps traps;
    engine.attach(memory);
    Engine::RunResult r = engine.run(traps, kCode, kCode + sizeof code, nullptr);
    EXPECT_EQ(r.stop, Engine::Stop::Until);
    EXPECT_EQ(engine.reg(Reg::Eax), 1u) << "the last pass's rewrite";
#ifndef __SANITIZE_ADDRESS__ // AddressSanitizer holds freed memory back on purpose
    size_t grown = resident_bytes() - std::min(resident_bytes(), before);
    EXPECT_LT(grown, kBuffer + (4 << 20)) << "resident memory grew by " << grown << " bytes";
#else
    (void)before;
#endif
    engine.detach(memory);
    auto next = program(5);
    EXPECT_EQ(run(engine, *next), 5u) << "the next process on the same engine";
    engine.detach(*next); // the memory goes before the engine
}

// Notes each access it is told of and stops the run for it.
struct AccessLog : vekos::AccessWatch {
    struct Seen {
        uint32_t address, size;
        bool write;
    };
    std::vector<Seen> seen;
    bool stop_after(uint32_t address, uint32_t size, bool write) override {
        seen.push_back({address, size, write});
        return true;
    }
};

// A watched access stops the run right after its instruction (a string instruction after the
// repetition that made it, at the instruction, with the rest still to do); an access beside
// the range doesn't; once unwatched, the same code runs through.
// A memory with a snapshot notes its own stores after another process ran on the engine, also
// when attaching it flushes every translation: the other process's TLB entries for the same
// pages must not let its stores through unnoted.
TEST(Engine, StoresAfterAnotherProcessAreNotedWhenAttachingFlushes) {
    if (!vekos::unicorn::corrections_linked())
        GTEST_SKIP() << "stores are noted with the corrections";
    constexpr uint32_t kData = 0x500000;
    const uint8_t store[] = {0xa3, 0, 0, 0x50, 0}; // mov [kData], eax
    auto process = [&] {
        auto memory = std::make_unique<GuestMemory>();
        EXPECT_TRUE(memory->add_region(kCode, vekos::kPageSize, vekos::kProtRead | vekos::kProtExec,
                                       "code"));
        EXPECT_TRUE(memory->add_region(kData, vekos::kPageSize,
                                       vekos::kProtRead | vekos::kProtWrite, "data"));
        memory->poke(kCode, store, sizeof store);
        return memory;
    };
    auto own = process(), other = process();
    Engine engine;
    vekos::TestHooks::set_translation_limit(engine, 0); // attaching flushes once code exists
    NoTraps traps;
    GuestMemory::Snapshot own_snapshot;
    for (GuestMemory *memory : {other.get(), own.get()}) {
        engine.attach(*memory);
        GuestMemory::Snapshot snapshot = memory->snapshot();
        if (memory == own.get()) own_snapshot = std::move(snapshot);
        engine.watch_stores();
    }
    for (GuestMemory *memory : {other.get(), own.get()}) {
        engine.attach(*memory);
        engine.set_reg(Reg::Eax, 5);
        ASSERT_EQ(engine.run(traps, kCode, kCode + sizeof store, nullptr).stop,
                  Engine::Stop::Until);
    }
    own->restore(own_snapshot);
    uint32_t word = 1;
    own->read(kData, &word, 4);
    EXPECT_EQ(word, 0u) << "the store must have been noted, and undone by the restore";
}

TEST(Engine, AWatchedAccessStopsTheRunAfterItsInstruction) {
    constexpr uint32_t kData = 0x500000;
    const uint8_t code[] = {
        0xb8, 1,    0, 0,    0,       // +0  mov eax, 1
        0xa3, 0,    0, 0x50, 0,       // +5  mov [kData], eax
        0x8b, 0x1d, 2, 0,    0x50, 0, // +10 mov ebx, [kData + 2]
        0xb9, 3,    0, 0,    0,       // +16 mov ecx, 3
        0xbf, 0x10, 0, 0x50, 0,       // +21 mov edi, kData + 0x10
        0xf3, 0xaa,                   // +26 rep stosb
    };
    constexpr uint32_t kEnd = kCode + sizeof code;
    struct Case {
        const char *what;
        uint32_t begin, length;
        vekos::Access kinds;
        uint32_t stop_eip; // kEnd: no stop
        uint32_t address, size, ecx;
        bool write;
    } cases[] = {
        {"the store", kData, 4, vekos::Access::Write, kCode + 10, kData, 4, 0, true},
        {"the load, by its last bytes", kData + 3, 1, vekos::Access::Read, kCode + 16, kData + 2, 4,
         0, false},
        {"either kind: only the load reaches", kData + 4, 4, vekos::Access::Any, kCode + 16,
         kData + 2, 4, 0, false},
        {"the second repetition", kData + 0x11, 1, vekos::Access::Write, kCode + 26, kData + 0x11,
         1, 1, true},
        {"reads only: the store passes", kData, 3, vekos::Access::Read, kCode + 16, kData + 2, 4, 0,
         false},
        {"beside every access", kData + 0x20, 4, vekos::Access::Any, kEnd, 0, 0, 0, false},
    };
    for (const Case &c : cases) {
        GuestMemory memory;
        ASSERT_TRUE(memory.add_region(kCode, vekos::kPageSize, vekos::kProtRead | vekos::kProtExec,
                                      "code"));
        ASSERT_TRUE(memory.add_region(kData, vekos::kPageSize, vekos::kProtRead | vekos::kProtWrite,
                                      "data"));
        memory.poke(kCode, code, sizeof code);
        Engine engine;
        NoTraps traps;
        AccessLog log;
        engine.attach(memory);
        auto id = engine.watch_accesses(c.begin, c.length, c.kinds, log);
        Engine::RunResult r = engine.run(traps, kCode, kEnd, nullptr);
        const Engine::Stop expected =
            c.stop_eip == kEnd ? Engine::Stop::Until : Engine::Stop::Watch;
        EXPECT_EQ(r.stop, expected)
            << c.what << ": stopped at " << std::hex << engine.reg(Reg::Eip);
        EXPECT_EQ(engine.reg(Reg::Eip), c.stop_eip)
            << c.what << ": expected eip 0x" << std::hex << c.stop_eip;
        if (c.stop_eip != kEnd) {
            ASSERT_EQ(log.seen.size(), 1u) << c.what << ": expected one access";
            EXPECT_EQ(log.seen[0].address, c.address) << c.what;
            EXPECT_EQ(log.seen[0].size, c.size) << c.what;
            EXPECT_EQ(log.seen[0].write, c.write) << c.what;
            EXPECT_EQ(engine.reg(Reg::Ecx), c.ecx) << c.what << ": repetitions left";
        }
        engine.unwatch_accesses(id);
        EXPECT_EQ(engine.access_watch_count(), 0u) << c.what;
        size_t told = log.seen.size();
        r = engine.run(traps, kCode, kEnd, nullptr);
        EXPECT_EQ(r.stop, Engine::Stop::Until) << c.what << ": expected no stop once unwatched";
        EXPECT_EQ(log.seen.size(), told) << c.what << ": expected no access told once unwatched";
        engine.detach(memory);
    }
}

} // namespace
