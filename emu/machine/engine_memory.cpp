// Attaching process memory to the engine. Each uc_mem_map_ptr or uc_mem_unmap makes Unicorn
// rebuild its whole memory map and flush its TLB (~20 us); a parent and its child usually have
// their code, data and stack at the same places, so those mappings are kept and the pages
// moved under them instead.
#include "machine/engine.h"
#include "machine/uc_check.h"
#include "machine/unicorn/tweaks.h"
#include "testing/test_hooks.h"

#include <sys/mman.h>

namespace vekos {

// With a window, the region's pages move to its place there first; where the host refuses,
// they are mapped where they are, and the window no longer mirrors the guest.
void Engine::map(const Region &r) {
    uint8_t *host = r.host;
    if (window_.base() != nullptr && !window_broken_ &&
        attached_->move_pages_to(r.base, window_.at(r.base)))
        host = window_.at(r.base);
    check(uc_mem_map_ptr(uc_, r.base, r.size, r.prot, host), "uc_mem_map_ptr");
    slots_.push_back({r.base, r.size, r.prot, host});
}

void Engine::unmap(size_t i, bool release_host) {
    const Slot &s = slots_[i];
    uc_mem_unmap(uc_, s.base, s.size);
    if (release_host) release_host_pages(s.host, s.size);
    slots_.erase(slots_.begin() + ptrdiff_t(i));
}

// Guest permissions the host can mirror: readable, and never both writable and executable,
// so that every page holding translated code is read-only to the guest's direct stores.
bool Engine::mirrored() const {
    if (window_.base() == nullptr || window_broken_ || attached_ == nullptr) return false;
    if (!access_hooks_.empty() || (watching_ && attached_->has_snapshot())) return false;
    for (const Slot &s : slots_)
        if (s.host != window_.at(s.base)) return false;
    for (const Region &r : attached_->regions())
        if (!(r.prot & kProtRead) || ((r.prot & kProtWrite) && (r.prot & kProtExec))) return false;
    return true;
}

void Engine::update_direct() {
    const bool wanted = mirrored();
    if (wanted == direct_) return;
    direct_ = wanted;
    unicorn::address_directly(uc_, wanted);
    if (!wanted) forget_attached_code();
}

// Only permission changes that Unicorn applies with a TLB flush and that leave execution alone:
// taking execute away would make it stop the next run.
bool Engine::reuse(Slot &s, GuestMemory &memory, const Region &r) {
    if (s.base != r.base || s.size != r.size) return false;
    if (s.prot != r.prot) {
        bool exec_same = ((s.prot ^ r.prot) & kProtExec) == 0;
        bool write_differs = ((s.prot ^ r.prot) & kProtWrite) != 0;
        if (!exec_same || !write_differs) return false;
        if (uc_mem_protect(uc_, s.base, s.size, r.prot) != UC_ERR_OK) return false;
        s.prot = r.prot;
    }
    return memory.move_pages_to(r.base, s.host);
}

void Engine::attach(GuestMemory &memory) {
    if (attached_ == &memory) return;
    if (attached_ != nullptr) detach(*attached_);
    // Every slot's pages are the engine's now: reuse what fits, drop the rest.
    std::vector<const Region *> unmapped;
    std::vector<bool> used(slots_.size(), false);
    for (const Region &r : memory.regions()) {
        bool reused = false;
        for (size_t i = 0; i < slots_.size() && !reused; i++)
            if (!used[i] && reuse(slots_[i], memory, r)) used[i] = reused = true;
        if (!reused) unmapped.push_back(&r);
    }
    for (size_t i = slots_.size(); i-- > 0;)
        if (!used[i]) unmap(i, true);
    attached_ = &memory; // from here on the slots hold its pages
    memory.set_code_write_observer(this);
    memory.set_region_observer(this);
    for (const Region *r : unmapped) map(*r);
    // Another process may have run other code at these addresses. Unicorn reuses the space
    // of dropped translations only after a flush, and crashes once it is full: past the
    // limit, everything goes.
    if (translated_bytes() > translation_limit_)
        unicorn::flush_translations(uc_);
    else
        for (const Region &r : memory.regions())
            if (r.prot & kProtExec) uc_ctl_remove_cache(uc_, uint64_t(r.base), r.end());
    // Stores to these host pages while it was away weren't its own.
    if (memory.has_snapshot()) watch_stores();
    update_direct();
}

// Regions made or split while attached (a trap's mapping): the slots there go, their pages
// staying with the memory, and every region there is mapped at its own host pages. Unicorn
// splits a mapping only by copying it elsewhere, which would leave the memory's pages behind.
void Engine::regions_changed(uint32_t begin, uint64_t end) {
    for (size_t i = slots_.size(); i-- > 0;) {
        const Slot &s = slots_[i];
        if (s.base >= end || uint64_t(s.base) + s.size <= begin) continue;
        if (s.prot & kProtExec)
            uc_ctl_remove_cache(uc_, uint64_t(s.base), uint64_t(s.base) + s.size);
        unmap(i, false);
    }
    for (const Region &r : attached_->regions())
        if (r.base < end && r.end() > begin) map(r);
    update_direct();
}

void TestHooks::set_translation_limit(Engine &engine, size_t bytes) {
    engine.translation_limit_ = bytes;
}

uint8_t *TestHooks::guest_window(const Engine &engine) {
    return engine.window_.base();
}

bool TestHooks::addresses_directly(const Engine &engine) {
    return engine.direct_;
}

void Engine::detach(GuestMemory &memory) {
    if (attached_ != &memory) return;
    attached_ = nullptr;
    memory.set_code_write_observer(nullptr);
    memory.set_region_observer(nullptr);
    for (size_t i = slots_.size(); i-- > 0;) {
        // A mapping whose pages can't be moved off goes with the memory that owns them.
        if (memory.move_pages_off(slots_[i].base)) continue;
        if (window_.base() != nullptr && slots_[i].host == window_.at(slots_[i].base))
            window_broken_ = true;
        unmap(i, false);
    }
}

} // namespace vekos
