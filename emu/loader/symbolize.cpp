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
}

std::optional<uint32_t> SymbolTable::address_of(std::string_view name) const {
    for (const Symbol &s : by_address_)
        if (s.name == name) return s.address;
    return std::nullopt;
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
