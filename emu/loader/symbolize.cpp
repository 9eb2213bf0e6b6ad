#include "loader/symbolize.h"

#include <algorithm>
#include <cstdio>

namespace vekos {

std::optional<uint32_t> SymbolTable::Builder::add_names(std::string_view strings) {
    if (strings.size() > kMaxNameBytes - names_.size()) return std::nullopt;
    auto base = uint32_t(names_.size());
    names_.append(strings);
    return base;
}

bool SymbolTable::Builder::add(uint32_t name, uint32_t address, uint32_t size) {
    if (name >= names_.size() || entries_.size() >= kMaxSymbols) return false;
    std::string_view rest = std::string_view(names_).substr(name, kMaxNameLength);
    size_t length = std::min(rest.find('\0'), rest.size());
    entries_.push_back({name, uint32_t(length), address, size});
    return true;
}

SymbolTable SymbolTable::Builder::finish() {
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const Entry &a, const Entry &b) { return a.address < b.address; });
    SymbolTable table;
    table.table_ = std::make_shared<const Table>(Table{std::move(names_), std::move(entries_)});
    names_.clear();
    entries_.clear();
    return table;
}

Symbol SymbolTable::operator[](size_t i) const {
    const Entry &e = table_->entries[i];
    return {std::string_view(table_->names).substr(e.name, e.length), e.address, e.size};
}

std::optional<uint32_t> SymbolTable::address_of(std::string_view name) const {
    for (size_t i = 0; i < size(); i++)
        if ((*this)[i].name == name) return (*this)[i].address;
    return std::nullopt;
}

std::string SymbolTable::describe(uint32_t addr) const {
    if (!table_) return "";
    const std::vector<Entry> &entries = table_->entries;
    auto after = std::upper_bound(entries.begin(), entries.end(), addr,
                                  [](uint32_t a, const Entry &e) { return a < e.address; });
    if (after == entries.begin()) return "";
    Symbol s = (*this)[size_t(after - entries.begin()) - 1];
    std::string text(s.name);
    if (addr == s.address) return text;
    char offset[16];
    std::snprintf(offset, sizeof offset, "+0x%x", addr - s.address);
    return text + offset;
}

} // namespace vekos
