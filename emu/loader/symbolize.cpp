#include "loader/symbolize.h"

#include <algorithm>
#include <cstdio>

namespace vekos {

void SymbolTable::add(Symbol symbol) {
    by_address_.push_back(std::move(symbol));
}

void SymbolTable::finish() {
    std::stable_sort(by_address_.begin(), by_address_.end(),
                     [](const Symbol &a, const Symbol &b) { return a.address < b.address; });
    // By name, equal names in address order: the lowest address wins, as it always has.
    by_name_.resize(by_address_.size());
    for (uint32_t i = 0; i < by_name_.size(); i++) by_name_[i] = i;
    std::stable_sort(by_name_.begin(), by_name_.end(), [&](uint32_t a, uint32_t b) {
        return by_address_[a].name < by_address_[b].name;
    });
}

// The test harness looks a function up for every call: a binary search, not a scan.
std::optional<uint32_t> SymbolTable::address_of(std::string_view name) const {
    if (by_name_.size() != by_address_.size()) { // not finished yet
        for (const Symbol &s : by_address_)
            if (s.name == name) return s.address;
        return std::nullopt;
    }
    auto at =
        std::lower_bound(by_name_.begin(), by_name_.end(), name,
                         [&](uint32_t i, std::string_view n) { return by_address_[i].name < n; });
    if (at == by_name_.end() || by_address_[*at].name != name) return std::nullopt;
    return by_address_[*at].address;
}

std::string SymbolTable::describe(uint32_t addr) const {
    auto after = std::upper_bound(by_address_.begin(), by_address_.end(), addr,
                                  [](uint32_t a, const Symbol &s) { return a < s.address; });
    if (after == by_address_.begin()) return "";
    const Symbol &s = *(after - 1);
    if (addr == s.address) return s.name;
    char offset[16];
    std::snprintf(offset, sizeof offset, "+0x%x", addr - s.address);
    return s.name + offset;
}

} // namespace vekos
