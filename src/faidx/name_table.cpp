#include "faidx/name_table.hpp"

namespace sekvo {

NameTable::NameTable() : positions_(0, KeyedStringHash{HashKey::random()}) {}

void NameTable::reserve(std::size_t count) {
    entries_.reserve(count);
    positions_.reserve(count);
}

void NameTable::insert(std::string_view name, const IndexEntry& entry) {
    auto found = positions_.find(name);
    if (found != positions_.end()) {
        entries_[found->second] = entry;
        return;
    }
    names_.emplace_back(name);
    entries_.push_back(entry);
    positions_.emplace(std::string_view(names_.back()), names_.size() - 1);
}

const IndexEntry* NameTable::lookup(std::string_view name) const {
    auto found = positions_.find(name);
    return found == positions_.end() ? nullptr : &entries_[found->second];
}

std::vector<std::string> NameTable::names() const {
    return std::vector<std::string>(names_.begin(), names_.end());
}

std::size_t NameTable::size() const { return names_.size(); }

const std::string& NameTable::name_at(std::size_t i) const { return names_[i]; }

const IndexEntry& NameTable::entry_at(std::size_t i) const { return entries_[i]; }

}  // namespace sekvo
