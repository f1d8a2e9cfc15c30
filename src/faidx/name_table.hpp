// The name table: record name -> index entry.
//
// Names enumerate in the order of the index file: the first occurrence of a
// name keeps its place, a later duplicate replaces the entry but not the
// position. Lookups go through a hash table keyed with a secret seed from
// the OS random source, so crafted names cannot degrade them.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "faidx/keyed_hash.hpp"

namespace sekvo {

struct IndexEntry {
    std::uint64_t rlen = 0;    // residues in the record
    std::uint64_t offset = 0;  // byte offset of the first sequence line
    std::uint64_t lenc = 0;    // residues on the first sequence line
    std::uint64_t lenb = 0;    // bytes of the first sequence line, terminator included
};

class NameTable {
public:
    NameTable();
    void reserve(std::size_t count);
    // Insert, or replace the entry of an existing name (keeping its position).
    void insert(std::string_view name, const IndexEntry& entry);
    const IndexEntry* lookup(std::string_view name) const;
    std::vector<std::string> names() const;
    std::size_t size() const;
    // The i-th name and entry in enumeration order (i < size()).
    const std::string& name_at(std::size_t i) const;
    const IndexEntry& entry_at(std::size_t i) const;

private:
    // Names live in a deque so the views held by the map stay valid as it
    // grows; entries_ runs parallel to names_.
    std::deque<std::string> names_;
    std::vector<IndexEntry> entries_;
    std::unordered_map<std::string_view, std::size_t, KeyedStringHash> positions_;
};

}  // namespace sekvo
