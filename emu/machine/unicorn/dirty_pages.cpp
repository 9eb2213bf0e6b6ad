// Guest stores at native speed over Debian's Unicorn 2.0.1 (static libunicorn.a).
//
// That release stubs QEMU's dirty-memory bitmap: every writable RAM page looks "clean", so each
// TLB fill flags it TLB_NOTDIRTY and every guest store leaves the translated code for the slow
// path (a page-collection lock and a translated-block check per store; a byte memset of 8 MiB
// took 0.73 s instead of 0.04 s), and the flag is never cleared. The flag exists to catch
// stores into translated code, so the wraps below keep, per engine, which RAM pages hold
// translated blocks, and fill other pages without it:
//   tlb_set_page_with_attrs  a page without blocks, writable, in an engine without write
//                            hooks, loses the flag as soon as it is filled (tlb_set_dirty);
//   address_space_translate_for_iotlb  tells that fill which RAM page it maps;
//   tlb_protect_code         a page gains its first block: remember it, and re-arm the flag
//                            in TLB entries already filled for it (tlb_reset_dirty);
//   tlb_unprotect_code       a page lost its last block: forget it; its entries still flagged
//                            are dropped at the next translation (tb_gen_code), where no store
//                            is half done; only a page filled writable can have such entries
//                            (Unicorn drops the block at a run's end address after every run:
//                            on a read-only page that costs no flush);
//   uc_hook_add              a memory-write hook: blocks translated before it store through the
//                            TLB without calling hooks, so that engine keeps the flag, as before;
//   uc_close                 forgets the engine.
// While a StoreWatch is set (store_watch.h), a page it hasn't seen a store to keeps the flag
// at fill time, so its first store takes the slow path, where notdirty_write calls
//   tb_invalidate_phys_page_fast  tell the watch, then drop the flag for that page
//                                 (tlb_set_dirty by the guest address the watch gives);
// rewatch_stores re-arms the flag on pages again (tlb_reset_dirty by host range).
// Unicorn checks a region's write permission on the slow path only, so pages of regions
// without UC_PROT_WRITE keep the flag too. --wrap redirects only calls between object files: in
// that build every call of these that matters is one (tb_gen_code's own callers inside
// translate-all.c only miss a flush point; the flush then comes later).
//
// All of it names Unicorn's internals and reads four fields of its structures at the offsets of
// that build (uc->cpu, cpu->uc, section->mr, region->perms, as its own tb_gen_code, uc_emu_stop
// and store_helper read them): it is linked only against 2.0.1 (VEKOS_UNICORN_TWEAKS). An engine
// whose uc and cpu don't point at each other is left as Unicorn made it.
#include "machine/store_watch.h"
#include "machine/unicorn/internals.h"

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unicorn/unicorn.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>

struct CPUState;
struct MemoryRegion;
struct MemoryRegionSection;
struct RAMBlock;
struct TranslationBlock;
struct MemTxAttrs {
    uint32_t bits;
};
using ram_addr_t = uint64_t;

namespace {

using vekos::unicorn::kRegionPermsOffset;

constexpr uint64_t kPageMask = ~uint64_t(0xfff);
constexpr uint64_t kPageSize = 0x1000;
constexpr int kPageWrite = 2;                 // QEMU's PAGE_WRITE
constexpr ram_addr_t kNoRam = ~ram_addr_t(0); // RAM_ADDR_INVALID
constexpr size_t kUcCpuOffset = 0x180;        // uc_struct::cpu
constexpr size_t kCpuUcOffset = 0x81a8;       // CPUState::uc (X86CPU)
constexpr size_t kSectionMrOffset = 0x10;     // MemoryRegionSection::mr, after Int128 size

struct Engine {
    std::unordered_set<ram_addr_t> code_pages;
    std::unordered_set<ram_addr_t> write_filled; // filled for stores since the last flush
    vekos::StoreWatch *watch = nullptr;
    bool write_hooked = false;
    bool access_hooked = false; // a hook on valid reads, writes or fetches was ever added
    bool flush_pending = false;
};

std::mutex engines_lock;
std::unordered_map<uc_engine *, std::unique_ptr<Engine>> engines;

// The fill in progress on this thread and the RAM page it maps.
thread_local bool filling = false;
thread_local ram_addr_t filled_page = kNoRam;

template <class T> T field(const void *object, size_t offset) {
    return *reinterpret_cast<T const *>(static_cast<const char *>(object) + offset);
}

CPUState *cpu_of(uc_engine *uc) {
    auto *cpu = field<CPUState *>(uc, kUcCpuOffset);
    return cpu && field<uc_engine *>(cpu, kCpuUcOffset) == uc ? cpu : nullptr;
}

uc_engine *engine_of(CPUState *cpu) {
    auto *uc = field<uc_engine *>(cpu, kCpuUcOffset);
    return uc && field<CPUState *>(uc, kUcCpuOffset) == cpu ? uc : nullptr;
}

// Called with engines_lock held.
Engine &state(uc_engine *uc) {
    auto &slot = engines[uc];
    if (!slot) slot = std::make_unique<Engine>();
    return *slot;
}

} // namespace

extern "C" {
void __real_tlb_set_page_with_attrs_x86_64(CPUState *, uint64_t vaddr, uint64_t paddr, MemTxAttrs,
                                           int prot, int mmu_idx, uint64_t size);
MemoryRegionSection *__real_address_space_translate_for_iotlb_x86_64(CPUState *, int asidx,
                                                                     uint64_t addr, uint64_t *xlat,
                                                                     uint64_t *plen, MemTxAttrs,
                                                                     int *prot);
void __real_tlb_protect_code_x86_64(uc_engine *, ram_addr_t);
void __real_tlb_unprotect_code_x86_64(uc_engine *, ram_addr_t);
TranslationBlock *__real_tb_gen_code_x86_64(CPUState *, uint64_t pc, uint64_t cs_base,
                                            uint32_t flags, int cflags);
uc_err __real_uc_hook_add(uc_engine *, uc_hook *, int type, void *callback, void *user_data,
                          uint64_t begin, uint64_t end, ...);
uc_err __real_uc_close(uc_engine *);

void tlb_set_dirty_x86_64(CPUState *, uint64_t vaddr);
void tlb_reset_dirty_x86_64(CPUState *, ram_addr_t host_start, ram_addr_t length);
void tlb_flush_x86_64(CPUState *);
void __real_tb_invalidate_phys_page_fast_x86_64(uc_engine *, void *pages, ram_addr_t start, int len,
                                                uintptr_t retaddr);
void *qemu_map_ram_ptr_x86_64(uc_engine *, RAMBlock *, ram_addr_t);
ram_addr_t memory_region_get_ram_addr_x86_64(MemoryRegion *);
MemoryRegion *memory_mapping(uc_engine *, uint64_t address);

void __wrap_tlb_set_page_with_attrs_x86_64(CPUState *cpu, uint64_t vaddr, uint64_t paddr,
                                           MemTxAttrs attrs, int prot, int mmu_idx, uint64_t size) {
    vekos::unicorn::tlb_filled(cpu);
    filling = true;
    filled_page = kNoRam;
    __real_tlb_set_page_with_attrs_x86_64(cpu, vaddr, paddr, attrs, prot, mmu_idx, size);
    filling = false;
    if (!(prot & kPageWrite) || filled_page == kNoRam) return;
    uc_engine *uc = engine_of(cpu);
    if (!uc) return;
    // Unicorn checks a region's write permission on the slow path only.
    MemoryRegion *region = memory_mapping(uc, paddr);
    if (!region || !(field<uint32_t>(region, kRegionPermsOffset) & UC_PROT_WRITE)) return;
    vekos::StoreWatch *watch;
    {
        std::lock_guard lock(engines_lock);
        Engine &engine = state(uc);
        engine.write_filled.insert(filled_page);
        if (engine.write_hooked || engine.code_pages.contains(filled_page)) return;
        watch = engine.watch;
    }
    if (watch &&
        watch->unseen(static_cast<uint8_t *>(qemu_map_ram_ptr_x86_64(uc, nullptr, filled_page))))
        return;
    tlb_set_dirty_x86_64(cpu, vaddr);
}

MemoryRegionSection *__wrap_address_space_translate_for_iotlb_x86_64(CPUState *cpu, int asidx,
                                                                     uint64_t addr, uint64_t *xlat,
                                                                     uint64_t *plen,
                                                                     MemTxAttrs attrs, int *prot) {
    MemoryRegionSection *section =
        __real_address_space_translate_for_iotlb_x86_64(cpu, asidx, addr, xlat, plen, attrs, prot);
    if (filling) {
        ram_addr_t base =
            memory_region_get_ram_addr_x86_64(field<MemoryRegion *>(section, kSectionMrOffset));
        filled_page = base == kNoRam ? kNoRam : (base + *xlat) & kPageMask;
    }
    return section;
}

void __wrap_tlb_protect_code_x86_64(uc_engine *uc, ram_addr_t ram_addr) {
    __real_tlb_protect_code_x86_64(uc, ram_addr);
    ram_addr_t page = ram_addr & kPageMask;
    {
        std::lock_guard lock(engines_lock);
        state(uc).code_pages.insert(page);
    }
    if (CPUState *cpu = cpu_of(uc)) {
        auto host = reinterpret_cast<uintptr_t>(qemu_map_ram_ptr_x86_64(uc, nullptr, page));
        tlb_reset_dirty_x86_64(cpu, host, kPageSize);
    }
}

void __wrap_tlb_unprotect_code_x86_64(uc_engine *uc, ram_addr_t ram_addr) {
    __real_tlb_unprotect_code_x86_64(uc, ram_addr);
    std::lock_guard lock(engines_lock);
    Engine &engine = state(uc);
    ram_addr_t page = ram_addr & kPageMask;
    if (engine.code_pages.erase(page) && engine.write_filled.contains(page))
        engine.flush_pending = true;
}

TranslationBlock *__wrap_tb_gen_code_x86_64(CPUState *cpu, uint64_t pc, uint64_t cs_base,
                                            uint32_t flags, int cflags) {
    bool flush = false;
    if (uc_engine *uc = engine_of(cpu)) {
        std::lock_guard lock(engines_lock);
        Engine &engine = state(uc);
        flush = std::exchange(engine.flush_pending, false);
        if (flush) engine.write_filled.clear();
    }
    if (flush) tlb_flush_x86_64(cpu);
    return __real_tb_gen_code_x86_64(cpu, pc, cs_base, flags, cflags);
}

// The slow path's first store to a page: the watch sees it before it happens (the real
// function may leave by longjmp when the store hits the block running).
void __wrap_tb_invalidate_phys_page_fast_x86_64(uc_engine *uc, void *pages, ram_addr_t start,
                                                int len, uintptr_t retaddr) {
    vekos::StoreWatch *watch = nullptr;
    bool keep_flag = true;
    {
        std::lock_guard lock(engines_lock);
        const Engine &engine = state(uc);
        watch = engine.watch;
        keep_flag = engine.write_hooked || engine.code_pages.contains(start & kPageMask);
    }
    if (watch) {
        auto *host =
            static_cast<uint8_t *>(qemu_map_ram_ptr_x86_64(uc, nullptr, start & kPageMask));
        std::optional<uint32_t> vaddr = watch->seen(host);
        CPUState *cpu = cpu_of(uc);
        if (vaddr && !keep_flag && cpu) tlb_set_dirty_x86_64(cpu, *vaddr);
    }
    __real_tb_invalidate_phys_page_fast_x86_64(uc, pages, start, len, retaddr);
}

// The extra arguments are read by type, as Unicorn itself reads them.
uc_err __wrap_uc_hook_add(uc_engine *uc, uc_hook *hh, int type, void *callback, void *user_data,
                          uint64_t begin, uint64_t end, ...) {
    va_list extra;
    va_start(extra, end);
    uc_err err;
    if (type & UC_HOOK_INSN) {
        int insn = va_arg(extra, int);
        err = __real_uc_hook_add(uc, hh, type, callback, user_data, begin, end, insn);
    } else if (type & UC_HOOK_TCG_OPCODE) {
        int opcode = va_arg(extra, int);
        int opcode_flags = va_arg(extra, int);
        err =
            __real_uc_hook_add(uc, hh, type, callback, user_data, begin, end, opcode, opcode_flags);
    } else {
        err = __real_uc_hook_add(uc, hh, type, callback, user_data, begin, end);
    }
    va_end(extra);
    if (err != UC_ERR_OK) return err;
    if (type & (UC_HOOK_MEM_VALID | UC_HOOK_MEM_READ_AFTER)) {
        std::lock_guard lock(engines_lock);
        state(uc).access_hooked = true;
    }
    if (!(type & UC_HOOK_MEM_WRITE)) return err;
    {
        std::lock_guard lock(engines_lock);
        state(uc).write_hooked = true;
    }
    if (CPUState *cpu = cpu_of(uc)) tlb_reset_dirty_x86_64(cpu, 0, ~ram_addr_t(0));
    return err;
}

uc_err __wrap_uc_close(uc_engine *uc) {
    if (CPUState *cpu = cpu_of(uc)) vekos::unicorn::tlb_filled(cpu); // forgotten as empty
    uc_err err = __real_uc_close(uc);
    std::lock_guard lock(engines_lock);
    engines.erase(uc);
    return err;
}
}

namespace vekos {

bool watch_stores(uc_engine *uc, StoreWatch *watch) {
    if (watch && !cpu_of(uc)) return false;
    std::lock_guard lock(engines_lock);
    state(uc).watch = watch;
    return true;
}

bool unicorn::has_access_hooks(uc_engine *uc) {
    std::lock_guard lock(engines_lock);
    auto found = engines.find(uc);
    return found != engines.end() && found->second->access_hooked;
}

void rewatch_stores(uc_engine *uc, const uint8_t *begin, const uint8_t *end) {
    if (begin >= end) return;
    if (CPUState *cpu = cpu_of(uc))
        tlb_reset_dirty_x86_64(cpu, reinterpret_cast<uintptr_t>(begin), ram_addr_t(end - begin));
}

} // namespace vekos
