// What the engine asks of Unicorn beyond its API. The corrections in this folder name
// Unicorn's internal symbols and read its structures at the offsets of one build: Debian 12's
// libunicorn.a, release kPinnedRelease. CMake turns VEKOS_UNICORN_TWEAKS on for that release
// only (and refuses it for another); without it, tweaks_fallback.cpp does without them: every
// guest store takes Unicorn's slow path, snapshots restore all memory, registers go through
// Unicorn's API and translations are flushed only as Unicorn itself does. Programs that don't
// fault behave the same either way, only slower; see corrections_linked() for what differs.
#pragma once

#include <unicorn/unicorn.h>

#include <cstddef>

namespace vekos::unicorn {

// True when the corrections are linked (VEKOS_UNICORN_TWEAKS). Without them a second CPU
// exception in one engine escalates to a double fault, and privileged and port instructions,
// syscall and far transfers through a register run, or stop the host, instead of faulting at
// their address, and a load or store that faults is reported at the start of its translated
// block, the rest of which may have run: the tests of those skip.
bool corrections_linked();

// The Unicorn release the corrections are made for; CMake reads it from this line.
inline constexpr char kPinnedRelease[] = "2.0.1";

// Unicorn hands CPU exceptions to the interrupt hook instead of delivering them, so the CPU
// never learns that one was dealt with: the next would become a double fault, the one after
// a triple fault (a halt). Called from the interrupt hook.
void exception_delivered(uc_engine *uc);
// Bytes of host code translated since the last flush, and dropping all of it. Unicorn reuses
// its translation buffer only after a flush; a full buffer crashes 2.0.1. Its buffer holds
// kTranslationBuffer bytes (where the tweaks apply), all of them resident after a flush;
// tests choose smaller ones (TestHooks::set_translation_buffer).
constexpr size_t kTranslationBuffer = 32 << 20;
// The buffer size of engines opened from now on; the one before. (Stock Unicorn: its own.)
size_t exchange_translation_buffer(size_t bytes);
size_t translated_bytes(uc_engine *uc);
void flush_translations(uc_engine *uc);
// A run that fills three quarters of the buffer is stopped (a full buffer must never be
// reached); true once for such a stop, which the engine answers with a flush and goes on.
bool take_flush_request(uc_engine *uc);
// Guest loads and stores on this thread that missed the TLB's fast path (0 without the
// corrections): the user mode's TLB holds kUserTlbEntries pages.
size_t slow_accesses();
// Whole TLB flushes done; those of a TLB with nothing in it are skipped (tlb_flushes.cpp).
size_t tlb_flushes();
inline constexpr size_t kUserTlbEntries = 4096;

// Direct guest addressing (direct_access.cpp). `window` is the base of a GuestWindow (below
// 2 GiB) that the engine keeps mirroring its guest, or nullptr to forget it; false when the
// window can't be used (stock Unicorn). While the engine runs, a host fault inside the window
// is its guest's, and ends as Unicorn's own access to that address would.
bool register_window(uc_engine *uc, uint8_t *window);
// Whether blocks translated from now on reach guest memory through the window: one host
// instruction per load or store, no TLB lookup, no memory hook called.
void address_directly(uc_engine *uc, bool on);
// Guest loads and stores translated to go through a window, on all threads.
size_t direct_accesses();

} // namespace vekos::unicorn
