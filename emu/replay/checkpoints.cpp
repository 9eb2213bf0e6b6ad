#include "replay/checkpoints.h"

#include <cstring>
#include <iterator>

namespace vekos {
namespace {

const std::array<uint8_t, kPageSize> kZeroPage{};

bool all_zero(const uint8_t *bytes) {
    return std::memcmp(bytes, kZeroPage.data(), kPageSize) == 0;
}

// The writable regions are what a checkpoint keeps; the rest doesn't change under the program.
bool kept(const Region &region) {
    return (region.prot & kProtWrite) != 0;
}

} // namespace

Checkpoints::~Checkpoints() {
    taken_.clear(); // the pages' deleters count down page_bytes_
}

Checkpoints::PageRef Checkpoints::copy_page(const uint8_t *bytes) {
    auto *page = new Page;
    std::memcpy(page->bytes.data(), bytes, kPageSize);
    page_bytes_ += sizeof(Page);
    return PageRef(page, [this](const Page *gone) {
        page_bytes_ -= sizeof(Page);
        delete gone;
    });
}

Checkpoints::SavedRegion Checkpoints::save_region(const Region &region, const uint8_t *host,
                                                  const SavedRegion *before) {
    SavedRegion saved{region.base, region.size, {}};
    saved.pages.resize(region.size / kPageSize);
    bool comparable = before && before->base == region.base && before->size == region.size;
    for (size_t i = 0; i < saved.pages.size(); ++i) {
        const uint8_t *bytes = host + i * kPageSize;
        const PageRef *old = comparable ? &before->pages[i] : nullptr;
        if (old && *old && std::memcmp((*old)->bytes.data(), bytes, kPageSize) == 0)
            saved.pages[i] = *old;
        else if (!all_zero(bytes))
            saved.pages[i] = copy_page(bytes);
    }
    return saved;
}

void Checkpoints::take(Engine &engine, const GuestMemory &memory, const Taken &when) {
    if (auto same = taken_.find(when.executed); same != taken_.end()) erase(same);
    auto previous = taken_.lower_bound(when.executed);
    const Checkpoint *before = previous == taken_.begin() ? nullptr : &std::prev(previous)->second;
    Checkpoint checkpoint{when, engine.save(), {}, engine.context_bytes()};
    for (const Region &region : memory.regions()) {
        if (!kept(region)) continue;
        const uint8_t *host = memory.view(region.base, region.size, 0);
        if (host == nullptr) continue;
        const SavedRegion *old = nullptr;
        if (before)
            for (const SavedRegion &r : before->regions)
                if (r.base == region.base) old = &r;
        checkpoint.regions.push_back(save_region(region, host, old));
        checkpoint.table_bytes += checkpoint.regions.back().pages.size() * sizeof(PageRef);
    }
    table_bytes_ += checkpoint.table_bytes;
    taken_.emplace(when.executed, std::move(checkpoint));
    thin_out(when.executed);
}

void Checkpoints::erase(std::map<uint64_t, Checkpoint>::iterator it) {
    table_bytes_ -= it->second.table_bytes;
    taken_.erase(it);
}

// Which one goes: the one whose going leaves the smallest gap for its distance from `now`
// (instructions run), so that spacing grows with the distance.
void Checkpoints::thin_out(uint64_t now) {
    while (bytes() > budget_bytes_ && taken_.size() > 2) {
        auto victim = taken_.end();
        double best = 0;
        for (auto it = std::next(taken_.begin()); std::next(it) != taken_.end(); ++it) {
            double gap = double(std::next(it)->first - std::prev(it)->first);
            uint64_t distance = it->first > now ? it->first - now : now - it->first;
            double score = gap / double(distance + 1);
            if (victim == taken_.end() || score < best) {
                victim = it;
                best = score;
            }
        }
        erase(victim);
    }
}

const Checkpoints::Taken *Checkpoints::at_or_before(uint64_t executed) const {
    auto it = taken_.upper_bound(executed);
    return it == taken_.begin() ? nullptr : &std::prev(it)->second.when;
}

const Checkpoints::Taken *Checkpoints::oldest() const {
    return taken_.empty() ? nullptr : &taken_.begin()->second.when;
}

const Checkpoints::Taken *Checkpoints::after(uint64_t executed) const {
    auto it = taken_.upper_bound(executed);
    return it == taken_.end() ? nullptr : &it->second.when;
}

bool Checkpoints::restore(uint64_t executed, Engine &engine, GuestMemory &memory) const {
    auto found = taken_.find(executed);
    if (found == taken_.end()) return false;
    const Checkpoint &checkpoint = found->second;
    // The layout first, so that nothing is written unless all of it can be.
    auto saved = checkpoint.regions.begin();
    for (const Region &region : memory.regions()) {
        if (!kept(region)) continue;
        if (saved == checkpoint.regions.end() || saved->base != region.base ||
            saved->size != region.size)
            return false;
        ++saved;
    }
    if (saved != checkpoint.regions.end()) return false;
    for (const SavedRegion &region : checkpoint.regions) {
        const uint8_t *host = memory.view(region.base, region.size, 0);
        if (host == nullptr) return false;
        for (size_t i = 0; i < region.pages.size(); ++i) {
            uint32_t address = region.base + uint32_t(i * kPageSize);
            const uint8_t *want =
                region.pages[i] ? region.pages[i]->bytes.data() : kZeroPage.data();
            if (std::memcmp(host + i * kPageSize, want, kPageSize) != 0)
                memory.poke(address, want, kPageSize);
        }
    }
    engine.restore(*checkpoint.cpu);
    return true;
}

void Checkpoints::drop_before_position(uint64_t floor) {
    for (auto it = taken_.begin(); it != taken_.end();)
        if (it->second.when.position < floor)
            erase(it++);
        else
            ++it;
}

void Checkpoints::drop_from(uint64_t executed) {
    while (!taken_.empty() && taken_.rbegin()->first >= executed) erase(std::prev(taken_.end()));
}

} // namespace vekos
