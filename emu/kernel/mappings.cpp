#include "kernel/mappings.h"

#include <cerrno>

namespace vekos {
namespace {

// What mappings are called among the memory's regions; munmap takes nothing else.
constexpr char kRegionName[] = "mapping";

} // namespace

uint32_t Mappings::free_range(uint32_t from, uint32_t size) const {
    uint64_t at = from;
    for (const Region &r : memory_.regions()) {
        if (r.end() <= at) continue;
        if (at + size <= r.base) break;
        at = r.end();
    }
    return at + size <= kMappingLimit ? uint32_t(at) : 0;
}

Result<uint32_t, HostError> Mappings::map(uint32_t hint, uint32_t size, uint32_t prot) {
    if (size == 0 || size % kPageSize != 0) return HostError{EINVAL};
    if (mapped_ + size > kMaxMappedBytes) return HostError{ENOMEM};
    uint32_t at = 0;
    if (hint % kPageSize == 0 && hint >= kMappingBase)
        at = free_range(hint, size) == hint ? hint : 0;
    if (at == 0) at = free_range(kMappingBase, size);
    if (at == 0 || !budget_.take(size)) return HostError{ENOMEM};
    if (!memory_.add_region(at, size, prot, kRegionName)) {
        budget_.give_back(size);
        return HostError{ENOMEM};
    }
    mapped_ += size;
    return at;
}

Result<int32_t, HostError> Mappings::unmap(uint32_t addr, uint32_t size) {
    if (size == 0 || addr % kPageSize != 0 || size % kPageSize != 0 || addr < kMappingBase ||
        uint64_t(addr) + size > kMappingLimit)
        return HostError{EINVAL};
    const uint64_t released = memory_.remove_range(addr, size, kRegionName);
    mapped_ -= released;
    budget_.give_back(released);
    return 0;
}

void Mappings::release_all() {
    if (mapped_ != 0) unmap(kMappingBase, kMappingLimit - kMappingBase);
}

} // namespace vekos
