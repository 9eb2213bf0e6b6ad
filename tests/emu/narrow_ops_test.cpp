// 32-bit arithmetic and compares translated to 32-bit host ops (machine/unicorn/narrow_ops.cpp):
// fewer host bytes per instruction, and the same registers and flags at the edges of 32 bits.
#include "machine/engine.h"
#include "machine/unicorn/tweaks.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using vekos::Engine;
using vekos::GuestMemory;
using vekos::Reg;

constexpr uint32_t kCode = 0x400000;
constexpr uint32_t kData = 0x1000000;

struct NoTraps : vekos::TrapHandler {
    void on_trap() override {}
};

struct Machine {
    std::unique_ptr<GuestMemory> memory = std::make_unique<GuestMemory>();
    Engine engine;

    explicit Machine(const std::vector<uint8_t> &code) {
        EXPECT_TRUE(memory->add_region(kCode, vekos::kPageSize, vekos::kProtRead | vekos::kProtExec,
                                       "code"));
        EXPECT_TRUE(memory->add_region(kData, vekos::kPageSize,
                                       vekos::kProtRead | vekos::kProtWrite, "data"));
        memory->poke(kCode, code.data(), uint32_t(code.size()));
        const uint32_t word = 0x12345678;
        memory->poke(kData + 8, &word, 4);
        engine.attach(*memory);
    }
    bool go(uint32_t length) {
        NoTraps traps;
        return engine.run(traps, kCode, kCode + length, nullptr).stop == Engine::Stop::Until;
    }
};

std::vector<uint8_t> repeated(const std::vector<uint8_t> &instruction, int count) {
    std::vector<uint8_t> code;
    for (int i = 0; i < count; i++) code.insert(code.end(), instruction.begin(), instruction.end());
    return code;
}

size_t translated_bytes_of(const std::vector<uint8_t> &code) {
    Machine run(code);
    EXPECT_TRUE(run.go(uint32_t(code.size())));
    return run.engine.translated_bytes();
}

// Host bytes per instruction, repeated in one block: a 32-bit add without an extension after
// it, a signed compare without two.
struct SizeCase {
    const char *name;
    std::vector<uint8_t> instruction;
    size_t most_bytes;
};

TEST(NarrowOps, ArithmeticAndComparesTranslateTo32BitHostOps) {
    if (!vekos::unicorn::corrections_linked()) GTEST_SKIP() << "Unicorn corrections not linked";
    const SizeCase cases[] = {
        {"add eax, ebx", {0x01, 0xd8}, 6},
        {"cmp eax, ebx; setl cl", {0x39, 0xd8, 0x0f, 0x9c, 0xc1}, 18},
    };
    for (const SizeCase &c : cases) {
        size_t bytes = (translated_bytes_of(repeated(c.instruction, 128)) -
                        translated_bytes_of(repeated(c.instruction, 64))) /
                       64;
        EXPECT_LE(bytes, c.most_bytes) << c.name << ": host bytes each, expected at most "
                                       << c.most_bytes << ", got " << bytes;
    }
}

// Each case runs `code` from eax = a, ebx = b, ecx = edx = 0, esi = kData - 0x10000 and
// expects eax, ecx, edx as given; setcc bytes land in cl, ch, dl and dh.
struct Case {
    const char *name;
    std::vector<uint8_t> code;
    uint32_t a, b;
    uint32_t eax, ecx, edx;
};

// add eax, ebx; setc cl; setz ch; sets dl; seto dh
const std::vector<uint8_t> kAddFlags = {0x01, 0xd8, 0x0f, 0x92, 0xc1, 0x0f, 0x94,
                                        0xc5, 0x0f, 0x98, 0xc2, 0x0f, 0x90, 0xc6};
// cmp eax, ebx; setl cl; setb ch; setg dl; seta dh
const std::vector<uint8_t> kCompare = {0x39, 0xd8, 0x0f, 0x9c, 0xc1, 0x0f, 0x92,
                                       0xc5, 0x0f, 0x9f, 0xc2, 0x0f, 0x97, 0xc6};
// cmp eax, ebx; jl +2; mov cl, 1 (b1 01); jbe +2; mov ch, 1; jg +2; mov dl, 1; ja +2; mov dh, 1
const std::vector<uint8_t> kBranches = {0x39, 0xd8, 0x7c, 0x02, 0xb1, 0x01, 0x76, 0x02, 0xb5,
                                        0x01, 0x7f, 0x02, 0xb2, 0x01, 0x77, 0x02, 0xb6, 0x01};
// imul eax, ebx; inc eax; jz +2; mov cl, 1
const std::vector<uint8_t> kMultiply = {0x0f, 0xaf, 0xc3, 0x40, 0x74, 0x02, 0xb1, 0x01};
// mov eax, [esi + ebx * 4] (the address wraps past 4 GiB); sub eax, 0x12345678; setz cl
const std::vector<uint8_t> kWrappedLoad = {0x8b, 0x04, 0x9e, 0x2d, 0x78, 0x56,
                                           0x34, 0x12, 0x0f, 0x94, 0xc1};

const Case kCases[] = {
    {"add carries out of 32 bits", kAddFlags, 0xffffffff, 1, 0, 0x0101, 0},
    {"add overflows to the sign", kAddFlags, 0x7fffffff, 1, 0x80000000, 0, 0x0101},
    {"add of small values", kAddFlags, 2, 3, 5, 0, 0},
    {"compare: negative below positive", kCompare, 0xffffffff, 1, 0xffffffff, 0x0001, 0x0100},
    {"compare: sign edge", kCompare, 0x80000000, 0x7fffffff, 0x80000000, 0x0001, 0x0100},
    {"compare: equal", kCompare, 0x80000000, 0x80000000, 0x80000000, 0, 0},
    {"branches: negative below positive", kBranches, 0xffffffff, 1, 0xffffffff, 0x0100, 0x0001},
    {"branches: sign edge", kBranches, 0x80000000, 0x7fffffff, 0x80000000, 0x0100, 0x0001},
    {"branches: equal", kBranches, 5, 5, 5, 0x0001, 0x0101},
    {"multiply wraps to -1, then inc to 0", kMultiply, 0xffffffff, 1, 0, 0, 0},
    {"multiply past 32 bits", kMultiply, 0x10000, 0x10000, 1, 0x0001, 0},
    {"load through a wrapped address", kWrappedLoad, 0, (0x10008u) / 4 + 0x40000000u, 0, 0x0001, 0},
};

TEST(NarrowOps, RegistersAndFlagsAtTheEdgesOf32Bits) {
    for (const Case &c : kCases) {
        Machine run(c.code);
        run.engine.set_reg(Reg::Eax, c.a);
        run.engine.set_reg(Reg::Ebx, c.b);
        run.engine.set_reg(Reg::Ecx, 0);
        run.engine.set_reg(Reg::Edx, 0);
        run.engine.set_reg(Reg::Esi, kData - 0x10000);
        ASSERT_TRUE(run.go(uint32_t(c.code.size()))) << c.name << ": expected to run to its end";
        const uint32_t got[3] = {run.engine.reg(Reg::Eax), run.engine.reg(Reg::Ecx),
                                 run.engine.reg(Reg::Edx)};
        const uint32_t expected[3] = {c.eax, c.ecx, c.edx};
        const char *names[3] = {"eax", "ecx", "edx"};
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(got[i], expected[i]) << c.name << ": " << names[i] << " expected " << std::hex
                                           << expected[i] << ", got " << got[i];
    }
}

} // namespace
