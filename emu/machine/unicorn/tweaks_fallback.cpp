// Other Unicorn releases: the link tweaks of 2.0.1 don't apply, so do without them. No store
// is seen (snapshots restore all memory), registers are read through Unicorn's API only, and
// translations are flushed only as Unicorn itself does.
#include "machine/store_watch.h"
#include "machine/unicorn/registers.h"
#include "machine/unicorn/tweaks.h"
#include "testing/test_hooks.h"

namespace vekos {

bool watch_stores(uc_engine *, StoreWatch *) {
    return false;
}

void rewatch_stores(uc_engine *, const uint8_t *, const uint8_t *) {}

uint64_t *general_registers(uc_engine *) {
    return nullptr;
}

namespace unicorn {

bool corrections_linked() {
    return false;
}
void exception_delivered(uc_engine *) {}
size_t translated_bytes(uc_engine *) {
    return 0;
}
void flush_translations(uc_engine *) {}
bool take_flush_request(uc_engine *) {
    return false;
}
size_t exchange_translation_buffer(size_t) {
    return 0;
}
size_t slow_accesses() {
    return 0;
}
size_t tlb_flushes() {
    return 0;
}
bool register_window(uc_engine *, uint8_t *) {
    return false;
}
void address_directly(uc_engine *, bool) {}
size_t direct_accesses() {
    return 0;
}

} // namespace unicorn

void TestHooks::set_translation_buffer(size_t) {}

} // namespace vekos
