// The engine on its own: processes taking turns on it whichever way the host moves pages, its
// teardown, and the translation buffer over many processes.
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

} // namespace
