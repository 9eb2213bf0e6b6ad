// Without the Unicorn 2.0.1 link tweaks: no store is seen (snapshots restore all memory) and
// registers are read through Unicorn's API only.
#include "machine/store_watch.h"
#include "machine/unicorn_registers.h"

namespace vekos {

bool watch_stores(uc_engine *, StoreWatch *) {
    return false;
}

void rewatch_stores(uc_engine *, const uint8_t *, const uint8_t *) {}

uint64_t *general_registers(uc_engine *) {
    return nullptr;
}

} // namespace vekos
