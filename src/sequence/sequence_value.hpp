// The plain sequence value every retrieval produces, and its transforms.
//
// Built on any thread (batch workers make thousands of them); wrapped into
// the Python `Sequence` class only under the interpreter lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sequence/residues.hpp"

namespace sekvo {

struct SequenceValue {
    std::string name;
    Residues seq;
    std::optional<std::uint64_t> start;
    std::optional<std::uint64_t> end;
    bool comp = false;
};

// Byte-to-byte complement map: nucleotide letters and IUPAC codes keep
// their case, every other byte becomes 'N'.
extern const std::array<unsigned char, 256> kComplementTable;

SequenceValue complement(const SequenceValue& value);
SequenceValue reverse(const SequenceValue& value);
SequenceValue reverse_complement(const SequenceValue& value);
// Same results as above, without copying the name or allocating.
void reverse_in_place(SequenceValue& value);
void reverse_complement_in_place(SequenceValue& value);
// The residues alone, reverse-complemented where they lie.
void reverse_complement_text(char* text, std::size_t size);

// 1 for a forward region, -1 for a reverse-complemented one, else none.
std::optional<int> orientation(const SequenceValue& value);

double gc(std::string_view seq);
double gc_strict(std::string_view seq);
double gc_iupac(std::string_view seq);

// "name", then ":start-end" when both are set, then " (complement)".
std::string long_name(const SequenceValue& value);

}  // namespace sekvo
