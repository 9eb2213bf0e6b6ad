#include "machine/guest_memory.h"

#include "machine/guest_window.h"
#include "testing/test_hooks.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

namespace vekos {
namespace {

void *host_mremap(void *old_address, size_t old_size, size_t new_size, int flags,
                  void *new_address) {
    return mremap(old_address, old_size, new_size, flags, new_address);
}

// How pages move between host ranges; tests may put in another.
TestHooks::HostRemap g_remap = &host_mremap;

// The host sees a region as the guest does, so that an engine can let the guest reach it
// directly (guest_window.h): writable or read-only. Everything the kernel reads stays readable.
int host_protection(uint32_t prot) {
    return prot & kProtWrite ? PROT_READ | PROT_WRITE : PROT_READ;
}

} // namespace

void TestHooks::set_host_remap(HostRemap remap) {
    g_remap = remap != nullptr ? remap : &host_mremap;
}

GuestMemory::~GuestMemory() {
    for (const Region &r : regions_) release_host_pages(r.host, r.size);
}

bool GuestMemory::add_region(uint32_t base, uint32_t size, uint32_t prot, std::string name) {
    if (size == 0 || base % kPageSize != 0 || size % kPageSize != 0) return false;
    uint64_t end = uint64_t(base) + size;
    if (end > (uint64_t(1) << 32)) return false;
    for (const Region &r : regions_)
        if (base < r.end() && r.base < end) return false;
    // Anonymous pages are zero-filled and only cost memory once touched.
    void *host = mmap(nullptr, size, host_protection(prot), MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (host == MAP_FAILED) return false;
    Region region{base, size, prot, std::move(name), static_cast<uint8_t *>(host), {}};
    if (prot & kProtWrite) region.written.assign(size / kPageSize, 0);
    auto at = std::upper_bound(regions_.begin(), regions_.end(), base,
                               [](uint32_t b, const Region &r) { return b < r.base; });
    regions_.insert(at, std::move(region));
    if (region_observer_ != nullptr) region_observer_->regions_changed(base, end);
    return true;
}

namespace {

// The part [from, to) of `region`, on the same host pages.
Region part_of(const Region &region, uint64_t from, uint64_t to) {
    Region part{uint32_t(from),
                uint32_t(to - from),
                region.prot,
                region.name,
                region.host + (from - region.base),
                {}};
    if (!region.written.empty()) {
        auto first = region.written.begin() + ptrdiff_t((from - region.base) / kPageSize);
        part.written.assign(first, first + ptrdiff_t(part.size / kPageSize));
    }
    return part;
}

} // namespace

uint64_t GuestMemory::remove_range(uint32_t base, uint32_t size, std::string_view name) {
    if (size == 0 || base % kPageSize != 0 || size % kPageSize != 0) return 0;
    const uint64_t end = uint64_t(base) + size;
    auto overlaps = [&](const Region &r) {
        return r.base < end && r.end() > base && r.name == name;
    };
    if (std::none_of(regions_.begin(), regions_.end(), overlaps)) return 0;
    std::vector<Region> kept;
    std::vector<std::pair<uint8_t *, size_t>> released;
    uint64_t changed_begin = end, changed_end = base;
    for (Region &r : regions_) {
        if (!overlaps(r)) {
            kept.push_back(std::move(r));
            continue;
        }
        const uint64_t cut_begin = std::max<uint64_t>(base, r.base);
        const uint64_t cut_end = std::min(end, r.end());
        if (cut_begin > r.base) kept.push_back(part_of(r, r.base, cut_begin));
        released.emplace_back(r.host + (cut_begin - r.base), size_t(cut_end - cut_begin));
        if (cut_end < r.end()) kept.push_back(part_of(r, cut_end, r.end()));
        changed_begin = std::min<uint64_t>(changed_begin, r.base);
        changed_end = std::max(changed_end, r.end());
    }
    regions_ = std::move(kept);
    last_found_ = 0;
    std::erase_if(written_, [&](uint32_t page) { return page >= base && page < end; });
    // The engine lets go of the pages before they go back to the host.
    if (region_observer_ != nullptr)
        region_observer_->regions_changed(uint32_t(changed_begin), changed_end);
    uint64_t bytes = 0;
    for (const auto &[host, length] : released) {
        release_host_pages(host, length);
        bytes += length;
    }
    return bytes;
}

// Traps come a byte at a time, mostly to the same buffer: the last region found is tried first.
const Region *GuestMemory::find(uint32_t addr) const {
    if (last_found_ < regions_.size()) {
        const Region &r = regions_[last_found_];
        if (addr >= r.base && addr < r.end()) return &r;
    }
    for (size_t i = 0; i < regions_.size(); i++) {
        const Region &r = regions_[i];
        if (addr >= r.base && addr < r.end()) {
            last_found_ = i;
            return &r;
        }
    }
    return nullptr;
}

// Calls piece(region, host, length) for each region-sized piece of [addr, addr + n), after
// checking the whole range first so that a failing access has no effect at all.
template <typename Piece>
bool GuestMemory::each_piece(uint32_t addr, uint32_t n, uint32_t prot, Piece &&piece) const {
    const uint64_t end = uint64_t(addr) + n; // 64 bits: addr + n may pass 4 GiB
    for (int pass = 0; pass < 2; pass++) {
        for (uint64_t at = addr; at < end;) {
            const Region *r = find(uint32_t(at));
            if (r == nullptr || (r->prot & prot) != prot) return false;
            uint64_t stop = std::min(end, r->end());
            if (pass == 1) piece(*r, r->host + (at - r->base), size_t(stop - at));
            at = stop;
        }
    }
    return true;
}

bool GuestMemory::accessible(uint32_t addr, uint32_t n, uint32_t prot) const {
    return each_piece(addr, n, prot, [](const Region &, uint8_t *, size_t) {});
}

bool GuestMemory::read(uint32_t addr, void *out, uint32_t n) const {
    auto *dst = static_cast<uint8_t *>(out);
    return each_piece(addr, n, kProtRead, [&](const Region &, uint8_t *host, size_t len) {
        std::memcpy(dst, host, len);
        dst += len;
    });
}

void GuestMemory::wrote(uint32_t addr, uint32_t n) {
    if (code_observer_ == nullptr || n == 0) return;
    const uint64_t end = uint64_t(addr) + n;
    for (const Region &r : regions_)
        if ((r.prot & kProtExec) && addr < r.end() && r.base < end) {
            code_observer_->code_written(addr, n);
            return;
        }
}

// Every write into guest memory ends here: it is noted for the next restore, and
// translations of code it touches are dropped. The kernel may fill memory the guest can't
// write (code, a file mapped read-only): the host opens those pages for the write alone.
template <typename Piece>
bool GuestMemory::store(uint32_t addr, uint32_t n, uint32_t prot, Piece &&piece) {
    bool refused = false; // by the host, short of memory to split its mappings
    auto write = [&](const Region &r, uint8_t *host, size_t len) {
        if (r.prot & kProtWrite) return piece(host, len);
        auto *first = reinterpret_cast<uint8_t *>(reinterpret_cast<uintptr_t>(host) &
                                                  ~uintptr_t(kPageSize - 1));
        size_t span = (size_t(host - first) + len + kPageSize - 1) & ~size_t(kPageSize - 1);
        if (mprotect(first, span, PROT_READ | PROT_WRITE) != 0) {
            refused = true;
            return;
        }
        piece(host, len);
        mprotect(first, span, host_protection(r.prot));
    };
    if (!each_piece(addr, n, prot, write)) return false;
    if (logging_ && n != 0) written_log_.push_back({addr, n, false, nullptr});
    note_written(addr, n);
    wrote(addr, n);
    return !refused;
}

bool GuestMemory::write(uint32_t addr, const void *in, uint32_t n) {
    auto *src = static_cast<const uint8_t *>(in);
    return store(addr, n, kProtWrite, [&](uint8_t *host, size_t len) {
        std::memcpy(host, src, len);
        src += len;
    });
}

bool GuestMemory::poke(uint32_t addr, const void *in, uint32_t n) {
    auto *src = static_cast<const uint8_t *>(in);
    return store(addr, n, 0, [&](uint8_t *host, size_t len) {
        std::memcpy(host, src, len);
        src += len;
    });
}

bool GuestMemory::fill(uint32_t addr, uint8_t byte, uint32_t n) {
    return store(addr, n, 0, [&](uint8_t *host, size_t len) { std::memset(host, byte, len); });
}

void GuestMemory::note_written(uint32_t addr, uint32_t n) {
    const uint64_t end = uint64_t(addr) + n;
    for (uint64_t page = addr & ~uint64_t(kPageSize - 1); page < end; page += kPageSize) {
        Region *r = const_cast<Region *>(find(uint32_t(page)));
        if (r != nullptr && !r->written.empty())
            note_page(*r, uint32_t(page - r->base) / kPageSize);
    }
}

void GuestMemory::note_page(Region &r, uint32_t page) {
    if (r.written[page]) return;
    r.written[page] = 1;
    written_.push_back(r.base + page * kPageSize);
}

const Region *GuestMemory::find_host(const uint8_t *host) const {
    for (const Region &r : regions_)
        if (host >= r.host && host < r.host + r.size) return &r;
    return nullptr;
}

bool GuestMemory::store_unnoted(const uint8_t *host) const {
    const Region *r = find_host(host);
    return r != nullptr && !r->written.empty() && !r->written[size_t(host - r->host) / kPageSize];
}

std::optional<uint32_t> GuestMemory::note_store(const uint8_t *host) {
    auto *r = const_cast<Region *>(find_host(host));
    if (r == nullptr) return std::nullopt;
    uint32_t page = uint32_t(host - r->host) / kPageSize;
    if (!r->written.empty()) note_page(*r, page);
    return r->base + page * kPageSize;
}

std::optional<std::vector<uint8_t>> GuestMemory::read_bytes(uint32_t addr, uint32_t n) const {
    // Checked before allocating: a hostile n cannot exceed what is really mapped.
    if (!accessible(addr, n, kProtRead)) return std::nullopt;
    std::vector<uint8_t> bytes(n);
    read(addr, bytes.data(), n);
    return bytes;
}

std::optional<std::string> GuestMemory::read_string(uint32_t addr, uint32_t cap) const {
    std::string text;
    uint64_t at = addr;
    const uint64_t limit = uint64_t(addr) + cap;
    while (at < limit) {
        const Region *r = find(uint32_t(at));
        if (r == nullptr || (r->prot & kProtRead) == 0) return std::nullopt;
        const uint8_t *from = r->host + (at - r->base);
        size_t len = size_t(std::min(limit, r->end()) - at);
        const void *nul = std::memchr(from, 0, len);
        if (nul != nullptr) {
            text.append(reinterpret_cast<const char *>(from),
                        static_cast<const uint8_t *>(nul) - from);
            return text;
        }
        text.append(reinterpret_cast<const char *>(from), len);
        at += len;
    }
    return std::nullopt;
}

std::optional<uint32_t> GuestMemory::read_u32(uint32_t addr) const {
    uint32_t value;
    if (!read(addr, &value, 4)) return std::nullopt;
    return value;
}

const uint8_t *GuestMemory::view(uint32_t addr, uint32_t n, uint32_t prot) const {
    const Region *r = find(addr);
    if (r == nullptr || (r->prot & prot) != prot || uint64_t(addr) + n > r->end()) return nullptr;
    return r->host + (addr - r->base);
}

uint8_t *GuestMemory::writable_view(uint32_t addr, uint32_t n) {
    auto *host = const_cast<uint8_t *>(view(addr, n, kProtWrite));
    if (host != nullptr) { // the caller writes next, with the guest stopped
        if (logging_ && n != 0) written_log_.push_back({addr, n, true, host});
        note_written(addr, n);
        wrote(addr, n);
    }
    return host;
}

bool GuestMemory::write_u32(uint32_t addr, uint32_t value) {
    return write(addr, &value, 4);
}

Region *GuestMemory::region_at(uint32_t base) {
    for (Region &r : regions_)
        if (r.base == base) return &r;
    return nullptr;
}

GuestMemory::Snapshot GuestMemory::snapshot() {
    static const uint8_t zeros[kPageSize] = {};
    for (Region &r : regions_) std::fill(r.written.begin(), r.written.end(), 0);
    written_.clear();
    has_snapshot_ = true;
    Snapshot s;
    for (const Region &r : regions_) {
        if (!(r.prot & kProtWrite)) continue;
        Snapshot::Saved saved{r.base, {r.host, r.host + r.size}, {}};
        for (uint32_t at = 0; at < r.size; at += kPageSize)
            saved.zero_page.push_back(std::memcmp(r.host + at, zeros, kPageSize) == 0);
        s.writable.push_back(std::move(saved));
    }
    return s;
}

// Most writable memory (stack, bss, the harness's scratch) starts as zeros: dropping those
// pages costs only what the guest touched, where copying would cost all of it. Runs of pages
// alike are handled in one call.
void GuestMemory::restore_region(const Region &r, const Snapshot::Saved &saved) {
    size_t pages = saved.zero_page.size();
    for (size_t first = 0; first < pages;) {
        size_t last = first;
        while (last < pages && saved.zero_page[last] == saved.zero_page[first]) last++;
        size_t offset = first * kPageSize, length = (last - first) * kPageSize;
        if (!saved.zero_page[first] || madvise(r.host + offset, length, MADV_DONTNEED) != 0)
            std::memcpy(r.host + offset, saved.bytes.data() + offset, length);
        first = last;
    }
}

// Only the pages written since the snapshot, each copied back or cleared: a few pages cost
// less than a system call.
GuestMemory::HostSpan GuestMemory::restore_written(const Snapshot &snapshot) {
    HostSpan span;
    for (uint32_t page : written_) {
        auto *r = const_cast<Region *>(find(page));
        size_t index = (page - r->base) / kPageSize, offset = index * kPageSize;
        r->written[index] = 0;
        auto saved = std::find_if(snapshot.writable.begin(), snapshot.writable.end(),
                                  [&](const Snapshot::Saved &s) { return s.base == r->base; });
        if (saved == snapshot.writable.end()) continue; // mapped after the snapshot: kept
        uint8_t *host = r->host + offset;
        if (saved->zero_page[index])
            std::memset(host, 0, kPageSize);
        else
            std::memcpy(host, saved->bytes.data() + offset, kPageSize);
        wrote(page, kPageSize);
        span.begin = span.begin == nullptr ? host : std::min(span.begin, host);
        span.end = std::max(span.end, host + kPageSize);
    }
    written_.clear();
    return span;
}

GuestMemory::HostSpan GuestMemory::restore(const Snapshot &snapshot) {
    if (stores_noted_) return restore_written(snapshot);
    for (const Snapshot::Saved &saved : snapshot.writable)
        if (const Region *r = region_at(saved.base)) {
            restore_region(*r, saved);
            wrote(r->base, r->size);
        }
    for (Region &r : regions_) std::fill(r.written.begin(), r.written.end(), 0);
    written_.clear();
    return {};
}

bool GuestMemory::move_pages_to(uint32_t base, uint8_t *frame) {
    Region *r = region_at(base);
    if (r == nullptr) return false;
    if (r->host == frame) return true;
    void *moved = g_remap(r->host, r->size, r->size, MREMAP_MAYMOVE | MREMAP_FIXED, frame);
    if (moved == MAP_FAILED) return false;
    r->host = frame;
    return true;
}

bool GuestMemory::move_pages_off(uint32_t base) {
    Region *r = region_at(base);
    if (r == nullptr) return false;
    // Page tables move, not bytes; the old range stays reserved, reading as zeros.
    void *moved = g_remap(r->host, r->size, r->size, MREMAP_MAYMOVE | MREMAP_DONTUNMAP, nullptr);
    if (moved == MAP_FAILED) {
        // A kernel before 5.7 refuses to keep the old range: it is mapped again, empty, at
        // once, and only where nothing else has taken it meanwhile.
        moved = g_remap(r->host, r->size, r->size, MREMAP_MAYMOVE, nullptr);
        if (moved == MAP_FAILED) return false;
        void *empty = mmap(r->host, r->size, host_protection(r->prot),
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (empty != r->host) {
            if (empty != MAP_FAILED) munmap(empty, r->size);
            r->host = static_cast<uint8_t *>(moved);
            return false;
        }
    }
    r->host = static_cast<uint8_t *>(moved);
    return true;
}

} // namespace vekos
