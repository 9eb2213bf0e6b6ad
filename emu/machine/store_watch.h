// Seeing the guest's first store to each page, so that restoring a snapshot copies back only
// the pages written. Stores to a watched page take Unicorn's slow path once; the page is then
// let through at full speed until it is watched again. Works on Debian's Unicorn 2.0.1 only
// (machine/unicorn/dirty_pages.cpp); elsewhere nothing is watched and callers restore everything.
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <optional>

namespace vekos {

class StoreWatch {
  public:
    virtual ~StoreWatch() = default;
    // Whether stores to the page at host address `host` must still be seen.
    virtual bool unseen(const uint8_t *host) = 0;
    // The first store to such a page (before it happens): the page's guest address, to let
    // later stores through, or nullopt to keep seeing them.
    virtual std::optional<uint32_t> seen(const uint8_t *host) = 0;
};

// Starts (watch != nullptr) or stops seeing stores on this engine; false when it can't.
bool watch_stores(uc_engine *uc, StoreWatch *watch);
// Makes the next store to each page within host addresses [begin, end) seen again.
void rewatch_stores(uc_engine *uc, const uint8_t *begin, const uint8_t *end);

} // namespace vekos
