// A list of regions kept column by column: record names stored once, with
// every region referring to its record by number, so that 200,000 regions
// cost a few flat arrays instead of 200,000 strings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sekvo {

enum class Strand : char { none = '.', forward = '+', reverse = '-' };

class RegionColumns {
public:
    // Appends a region in 1-based inclusive coordinates (fetch's).
    void add(std::string_view name, std::uint64_t start, std::uint64_t end);
    // Appends a BED interval: 0-based start, end excluded. A start of 2^64-1
    // has no 1-based form and is kept as the largest start (out of bounds).
    void add_zero_based(std::string_view name, std::uint64_t start, std::uint64_t end);
    // Appends a region of the record numbered `record` in record_names(),
    // so that a caller that knows the number saves the name's look-up.
    void add(std::uint32_t record, std::uint64_t start, std::uint64_t end);
    // The number of `name` in record_names(), added there when new.
    std::uint32_t intern(std::string_view name);
    // Replaces the regions by whole columns of the same length: record
    // numbers from intern(), 1-based starts and inclusive ends. Columns a
    // caller has already built are taken over rather than copied.
    void assign(std::vector<std::uint32_t> records, std::vector<std::uint64_t> starts,
                std::vector<std::uint64_t> ends);
    // Drops every region and takes the record names of `other`, so that
    // regions can be added by their record's number in `other`.
    void restart_with_names_of(const RegionColumns& other);
    // Sets the strand / label of the region added last. Regions added
    // without one have Strand::none / an empty label.
    void set_strand(Strand strand);
    void set_label(std::string_view label);

    // Appends every region of `other` (used to join parts parsed apart).
    void append(const RegionColumns& other);
    void reserve(std::size_t regions);

    std::size_t size() const { return record_.size(); }
    bool empty() const { return record_.empty(); }

    // Distinct record names in the order they were first seen.
    const std::vector<std::string>& record_names() const { return record_names_; }
    std::uint32_t record(std::size_t i) const { return record_[i]; }
    std::string_view name(std::size_t i) const { return record_names_[record_[i]]; }
    std::uint64_t start(std::size_t i) const { return starts_[i]; }  // 1-based
    std::uint64_t end(std::size_t i) const { return ends_[i]; }      // inclusive
    const std::vector<std::uint64_t>& starts() const { return starts_; }
    const std::vector<std::uint64_t>& ends() const { return ends_; }
    const std::vector<std::uint32_t>& records() const { return record_; }
    Strand strand(std::size_t i) const { return strands_.empty() ? Strand::none : strands_[i]; }
    std::string_view label(std::size_t i) const;
    bool has_labels() const { return !label_ends_.empty(); }

private:
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> numbers_;
    std::vector<std::string> record_names_;
    // Consecutive regions mostly share their record: the last one's name
    // is compared before the hash table is asked.
    std::uint32_t last_number_ = 0;

    std::vector<std::uint32_t> record_;
    std::vector<std::uint64_t> starts_;
    std::vector<std::uint64_t> ends_;
    std::vector<Strand> strands_;        // empty until a strand is set
    std::string label_bytes_;            // labels one after another
    std::vector<std::uint64_t> label_ends_;  // empty until a label is set
};

}  // namespace sekvo
