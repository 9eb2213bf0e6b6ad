// Checkpoints of the debugged process, for running it backwards: its CPU, the bytes of its
// writable memory, where its run history stood and how many instructions it had run. A page
// that holds the same bytes as in the checkpoint before shares that checkpoint's copy, and a
// page of zeros costs nothing, so each checkpoint costs about the pages written since the one
// before. The store keeps within a budget of bytes: past it, checkpoints are dropped where
// they stand closest together for their distance from the one just taken, so that those
// near the present stay dense and far ones thin out; the oldest and the newest always stay.
#pragma once

#include "machine/engine.h"
#include "machine/guest_memory.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace vekos {

class Checkpoints {
  public:
    struct Taken {
        uint64_t executed;    // instructions the process had run
        uint64_t position;    // RunHistory::position()
        uint64_t budget_used; // of the run's instruction budget
    };

    explicit Checkpoints(uint64_t budget_bytes) : budget_bytes_(budget_bytes) {}
    Checkpoints(const Checkpoints &) = delete;
    Checkpoints &operator=(const Checkpoints &) = delete;
    ~Checkpoints();

    // Takes one of the CPU and the writable memory now, replacing one taken at the same count.
    void take(Engine &engine, const GuestMemory &memory, const Taken &when);
    // The newest taken at or before `executed` instructions, the oldest of all, or none.
    const Taken *at_or_before(uint64_t executed) const;
    const Taken *oldest() const;
    // The oldest taken after `executed`, or none.
    const Taken *after(uint64_t executed) const;
    // Brings the CPU and the writable memory back to the checkpoint taken at `executed`;
    // memory goes through GuestMemory, so code translated from changed bytes is dropped.
    // False when there is none, or the memory's writable regions have changed since.
    bool restore(uint64_t executed, Engine &engine, GuestMemory &memory) const;
    // Drops those taken at a history position before `floor`: the process can't go back there.
    void drop_before_position(uint64_t floor);
    // Drops those taken at `executed` instructions or later: a run that went otherwise.
    void drop_from(uint64_t executed);

    // Thins out at once if the new budget is below what is held.
    void set_budget(uint64_t bytes) {
        budget_bytes_ = bytes;
        thin_out(taken_.empty() ? 0 : taken_.rbegin()->first);
    }
    size_t count() const { return taken_.size(); }
    // Bytes held: pages, page tables and CPU states.
    uint64_t bytes() const { return page_bytes_ + table_bytes_; }

  private:
    struct Page {
        std::array<uint8_t, kPageSize> bytes;
    };
    using PageRef = std::shared_ptr<const Page>; // null: a page of zeros
    struct SavedRegion {
        uint32_t base;
        uint32_t size;
        std::vector<PageRef> pages;
    };
    struct Checkpoint {
        Taken when;
        std::unique_ptr<Engine::Context> cpu;
        std::vector<SavedRegion> regions;
        uint64_t table_bytes; // what it holds besides pages
    };

    // The pages of `region` now, sharing those of `before` that hold the same bytes.
    SavedRegion save_region(const Region &region, const uint8_t *host, const SavedRegion *before);
    PageRef copy_page(const uint8_t *bytes);
    void erase(std::map<uint64_t, Checkpoint>::iterator it);
    // Drops checkpoints while more than the budget is held; `now`: instructions run.
    void thin_out(uint64_t now);

    uint64_t budget_bytes_;
    uint64_t page_bytes_ = 0;
    uint64_t table_bytes_ = 0;
    std::map<uint64_t, Checkpoint> taken_; // by instructions run
};

} // namespace vekos
