// A process's mappings (mmap): zero-filled regions of its memory at addresses the kernel
// chooses in an area of their own, [kMappingBase, kMappingLimit), which images (below
// kUserLimit) and the largest stack (from kStackTop - kMaxStackSize) never reach. A process
// maps at most kMaxMappedBytes; the run's MemoryBudget bounds all processes together.
#pragma once

#include "common/result.h"
#include "host/run_limits.h"
#include "loader/elf_image.h"
#include "machine/guest_memory.h"

#include <cstdint>

namespace vekos {

constexpr uint32_t kMappingBase = kUserLimit;
constexpr uint32_t kMappingLimit = 0xBF000000;
constexpr uint64_t kMaxMappedBytes = 64 << 20;

class Mappings {
  public:
    Mappings(GuestMemory &memory, MemoryBudget &budget) : memory_(memory), budget_(budget) {}
    ~Mappings() { release_all(); }
    Mappings(const Mappings &) = delete;
    Mappings &operator=(const Mappings &) = delete;

    // A new zero-filled mapping of `size` bytes (whole pages, not 0) with `prot` (kProt*
    // bits): at `hint` when it is a free page in the area, else at the lowest free range.
    // ENOMEM when no range is free or a bound would be passed.
    Result<uint32_t, HostError> map(uint32_t hint, uint32_t size, uint32_t prot);
    // Releases the mapped pages of [addr, addr + size) (whole pages), splitting mappings that
    // reach past it; EINVAL when the range leaves the area.
    Result<int32_t, HostError> unmap(uint32_t addr, uint32_t size);
    // Releases every mapping (the process ends, or starts afresh).
    void release_all();

  private:
    // The lowest free range of `size` bytes from `from` on in the area, or 0.
    uint32_t free_range(uint32_t from, uint32_t size) const;

    GuestMemory &memory_;
    MemoryBudget &budget_;
    uint64_t mapped_ = 0;
};

} // namespace vekos
