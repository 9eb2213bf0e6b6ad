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
    // By name, equal names in address order: the lowest address wins.
    std::vector<uint32_t> by_name(entries_.size());
    for (uint32_t i = 0; i < by_name.size(); i++) by_name[i] = i;
    auto name_of = [&](uint32_t i) {
        return std::string_view(names_).substr(entries_[i].name, entries_[i].length);
    };
    std::stable_sort(by_name.begin(), by_name.end(),
                     [&](uint32_t a, uint32_t b) { return name_of(a) < name_of(b); });
    SymbolTable table;
    table.table_ = std::make_shared<const Table>(
        Table{std::move(names_), std::move(entries_), std::move(by_name)});
    names_.clear();
    entries_.clear();
    return table;
}

Symbol SymbolTable::operator[](size_t i) const {
    const Entry &e = table_->entries[i];
    return {std::string_view(table_->names).substr(e.name, e.length), e.address, e.size};
}

// The test harness looks a function up for every call: a binary search, not a scan.
std::optional<uint32_t> SymbolTable::address_of(std::string_view name) const {
    if (!table_) return std::nullopt;
    const std::vector<uint32_t> &by_name = table_->by_name;
    auto at = std::lower_bound(by_name.begin(), by_name.end(), name,
                               [&](uint32_t i, std::string_view n) { return (*this)[i].name < n; });
    if (at == by_name.end() || (*this)[*at].name != name) return std::nullopt;
    return (*this)[*at].address;
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
