// A guest's whole 4 GiB address space as one reserved range of host addresses, so that guest
// address X lies at host address base + X: translated code then reaches guest memory with one
// host instruction instead of a TLB lookup (machine/unicorn/direct_access.cpp). The range
// mirrors the guest exactly: pages the guest has mapped are there with the guest's
// protection (GuestMemory keeps it), every other page is reserved and inaccessible, so a
// guest access the guest may not make faults on the host as well. No host mapping may ever
// land inside: pages leave a window by being replaced with reserved ones
// (release_host_pages), never by a hole.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vekos {

class GuestWindow {
  public:
    // The guest's addresses, and a guard page past them for an access that starts at the
    // last byte.
    static constexpr uint64_t kBytes = (uint64_t(1) << 32) + 0x1000;

    // Reserves a window, below 2 GiB if it can, where translated code names its base as a
    // 32-bit displacement (only one fits there); none (base() == nullptr) when the host
    // refuses 4 GiB of address space.
    GuestWindow();
    GuestWindow(const GuestWindow &) = delete;
    GuestWindow &operator=(const GuestWindow &) = delete;
    ~GuestWindow();

    uint8_t *base() const { return base_; }
    // The host address of guest address `guest`; base() must not be null.
    uint8_t *at(uint32_t guest) const { return base_ + guest; }

  private:
    uint8_t *base_ = nullptr;
};

// Gives host pages back: inside a window they become reserved again, elsewhere unmapped.
void release_host_pages(void *host, size_t size);

} // namespace vekos
