// Program images: ELF32 i386 executables and flat binaries, checked completely before
// anything is mapped, so that a hostile file can only ever produce an error message.
#pragma once

#include "common/result.h"
#include "loader/symbolize.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vekos {

// Where user segments may lie; mappings (kernel/mappings.h) and the stack, just below
// 0xC0000000, sit above.
constexpr uint32_t kUserBase = 0x1000;
constexpr uint32_t kUserLimit = 0xA0000000;
constexpr uint32_t kFlatBase = 0x400000;
constexpr uint32_t kFlatRegionSize = 0x100000; // flat images run in 1 MiB of RWX memory
constexpr uint32_t kMaxImageFile = 64 << 20;
constexpr uint32_t kMaxImageMemory = 256 << 20;

struct Segment {
    uint32_t vaddr;
    uint32_t memsz;
    uint32_t prot;              // kProt* bits
    std::vector<uint8_t> bytes; // filesz bytes; the rest up to memsz is zero
};

struct Image {
    std::vector<Segment> segments;
    uint32_t entry = 0;
    SymbolTable symbols;
};

Result<Image> parse_elf_image(const std::vector<uint8_t> &file);
Result<Image> parse_flat_image(const std::vector<uint8_t> &file);

} // namespace vekos
