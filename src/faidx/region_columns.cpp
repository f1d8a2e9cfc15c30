#include "faidx/region_columns.hpp"

#include <limits>
#include <stdexcept>
#include <utility>

namespace sekvo {

std::uint32_t RegionColumns::intern(std::string_view name) {
    if (last_number_ < record_names_.size() && name == record_names_[last_number_]) return last_number_;
    auto found = numbers_.find(name);
    std::uint32_t number;
    if (found != numbers_.end()) {
        number = found->second;
    } else {
        if (record_names_.size() >= std::numeric_limits<std::uint32_t>::max())
            throw std::length_error("too many distinct record names");
        number = static_cast<std::uint32_t>(record_names_.size());
        record_names_.emplace_back(name);
        numbers_.emplace(std::string(name), number);
    }
    last_number_ = number;
    return number;
}

void RegionColumns::add(std::string_view name, std::uint64_t start, std::uint64_t end) {
    add(intern(name), start, end);
}

void RegionColumns::add(std::uint32_t record, std::uint64_t start, std::uint64_t end) {
    record_.push_back(record);
    starts_.push_back(start);
    ends_.push_back(end);
    if (!strands_.empty()) strands_.push_back(Strand::none);
    if (!label_ends_.empty()) label_ends_.push_back(label_bytes_.size());
}

void RegionColumns::add_zero_based(std::string_view name, std::uint64_t start, std::uint64_t end) {
    add(name, start == std::numeric_limits<std::uint64_t>::max() ? start : start + 1, end);
}

void RegionColumns::assign(std::vector<std::uint32_t> records, std::vector<std::uint64_t> starts,
                           std::vector<std::uint64_t> ends) {
    if (starts.size() != records.size() || ends.size() != records.size())
        throw std::invalid_argument("region columns of different lengths");
    record_ = std::move(records);
    starts_ = std::move(starts);
    ends_ = std::move(ends);
    strands_.clear();
    label_bytes_.clear();
    label_ends_.clear();
}

void RegionColumns::restart_with_names_of(const RegionColumns& other) {
    *this = RegionColumns{};
    numbers_ = other.numbers_;
    record_names_ = other.record_names_;
}

void RegionColumns::set_strand(Strand strand) {
    if (strands_.empty()) {
        if (strand == Strand::none) return;
        strands_.assign(record_.size(), Strand::none);
    }
    strands_.back() = strand;
}

void RegionColumns::set_label(std::string_view label) {
    if (label_ends_.empty()) {
        if (label.empty()) return;
        label_ends_.assign(record_.size(), 0);
    }
    label_bytes_.append(label);
    label_ends_.back() = label_bytes_.size();
}

std::string_view RegionColumns::label(std::size_t i) const {
    if (label_ends_.empty()) return {};
    const std::uint64_t begin = i == 0 ? 0 : label_ends_[i - 1];
    return std::string_view(label_bytes_).substr(begin, label_ends_[i] - begin);
}

void RegionColumns::reserve(std::size_t regions) {
    record_.reserve(regions);
    starts_.reserve(regions);
    ends_.reserve(regions);
}

void RegionColumns::append(const RegionColumns& other) {
    std::vector<std::uint32_t> renumber(other.record_names_.size());
    for (std::size_t k = 0; k < renumber.size(); ++k) renumber[k] = intern(other.record_names_[k]);
    const std::size_t before = size();
    reserve(before + other.size());
    for (std::uint32_t r : other.record_) record_.push_back(renumber[r]);
    starts_.insert(starts_.end(), other.starts_.begin(), other.starts_.end());
    ends_.insert(ends_.end(), other.ends_.begin(), other.ends_.end());
    if (!strands_.empty() || !other.strands_.empty()) {
        strands_.resize(before, Strand::none);
        if (other.strands_.empty()) strands_.resize(size(), Strand::none);
        else strands_.insert(strands_.end(), other.strands_.begin(), other.strands_.end());
    }
    if (!label_ends_.empty() || !other.label_ends_.empty()) {
        label_ends_.resize(before, label_bytes_.size());
        const std::uint64_t base = label_bytes_.size();
        if (other.label_ends_.empty()) {
            label_ends_.resize(size(), base);
        } else {
            label_bytes_.append(other.label_bytes_);
            for (std::uint64_t end : other.label_ends_) label_ends_.push_back(base + end);
        }
    }
}

}  // namespace sekvo
