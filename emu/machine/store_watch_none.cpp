// Without the Unicorn 2.0.1 link tweaks no store is seen: snapshots restore all memory.
#include "machine/store_watch.h"

namespace vekos {

bool watch_stores(uc_engine *, StoreWatch *) {
    return false;
}

void rewatch_stores(uc_engine *, const uint8_t *, const uint8_t *) {}

} // namespace vekos
