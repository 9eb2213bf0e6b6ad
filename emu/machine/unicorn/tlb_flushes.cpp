// TLB flushes of a TLB that holds nothing. Unicorn 2.0.1 flushes every CPU's TLB whole on each
// change of the memory map (a mapping made, removed or protected) and page by page for each
// page unmapped. A flush clears the tables of all three CPU modes whatever they hold (128 KiB
// for the user mode's: fast_path.cpp), so starting a program, which maps its image and stack
// before it runs an instruction, cleared the same empty tables a dozen times. A CPU whose TLB
// was flushed whole and has been filled with no page since holds nothing to flush: later
// flushes are skipped until the next fill. Every fill passes tlb_set_page_with_attrs
// (dirty_pages.cpp calls tlb_filled), and code runs only through filled entries, so the jump
// cache that a flush also clears is empty too. Linked only against 2.0.1 (VEKOS_UNICORN_TWEAKS).
#include "machine/unicorn/internals.h"
#include "machine/unicorn/tweaks.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace {

std::mutex empty_lock;
std::vector<CPUState *> empty_tlbs; // flushed whole, filled since with nothing
std::atomic<size_t> flushes_done{0};

bool holds_nothing(CPUState *cpu) {
    std::lock_guard lock(empty_lock);
    return std::find(empty_tlbs.begin(), empty_tlbs.end(), cpu) != empty_tlbs.end();
}

} // namespace

extern "C" {
void __real_tlb_flush_x86_64(CPUState *cpu);
void __real_tlb_flush_page_x86_64(CPUState *cpu, uint64_t address);

void __wrap_tlb_flush_x86_64(CPUState *cpu) {
    if (holds_nothing(cpu)) return;
    __real_tlb_flush_x86_64(cpu);
    flushes_done++;
    std::lock_guard lock(empty_lock);
    empty_tlbs.push_back(cpu);
}

void __wrap_tlb_flush_page_x86_64(CPUState *cpu, uint64_t address) {
    if (holds_nothing(cpu)) return;
    __real_tlb_flush_page_x86_64(cpu, address);
}
}

namespace vekos::unicorn {

void tlb_filled(CPUState *cpu) {
    std::lock_guard lock(empty_lock);
    std::erase(empty_tlbs, cpu);
}

size_t tlb_flushes() {
    return flushes_done.load();
}

} // namespace vekos::unicorn
