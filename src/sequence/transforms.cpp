// Complement, reverse, orientation, GC measures and the long name of a
// plain sequence value. Every transform returns a new value.
#include <algorithm>
#include <cstddef>

#include "sequence/sequence_value.hpp"

namespace sekvo {

namespace {

constexpr std::array<unsigned char, 256> make_complement_table() {
    std::array<unsigned char, 256> table{};
    for (auto& out : table) out = 'N';
    constexpr const char* pairs[] = {"AT", "BV", "CG", "DH", "GC", "HD", "KM", "MK",
                                     "NN", "RY", "SS", "TA", "VB", "WW", "XX", "YR"};
    for (const char* pair : pairs) {
        const auto from = static_cast<unsigned char>(pair[0]);
        const auto to = static_cast<unsigned char>(pair[1]);
        table[from] = to;
        table[from + ('a' - 'A')] = static_cast<unsigned char>(to + ('a' - 'A'));
    }
    return table;
}

// Weight of each letter for gc_iupac; negative means "not counted".
constexpr std::array<double, 256> make_iupac_weights() {
    std::array<double, 256> weights{};
    for (auto& w : weights) w = -1.0;
    const struct { const char* letters; double weight; } groups[] = {
        {"CGS", 1.0}, {"BV", 0.67}, {"KMRY", 0.5}, {"DH", 0.33}, {"N", 0.25}, {"ATW", 0.0}};
    for (const auto& group : groups) {
        for (const char* c = group.letters; *c; ++c) {
            weights[static_cast<unsigned char>(*c)] = group.weight;
            weights[static_cast<unsigned char>(*c + ('a' - 'A'))] = group.weight;
        }
    }
    return weights;
}

constexpr std::array<double, 256> kIupacWeights = make_iupac_weights();

bool is_gc(unsigned char c) {
    return c == 'C' || c == 'G' || c == 'c' || c == 'g';
}

void swap_coordinates_if_both_set(SequenceValue& value) {
    if (value.start && value.end) std::swap(value.start, value.end);
}

}  // namespace

const std::array<unsigned char, 256> kComplementTable = make_complement_table();

SequenceValue complement(const SequenceValue& value) {
    std::string text(value.seq.size(), '\0');
    std::transform(value.seq.begin(), value.seq.end(), text.begin(),
                   [](char c) { return static_cast<char>(kComplementTable[static_cast<unsigned char>(c)]); });
    return SequenceValue{value.name, std::move(text), value.start, value.end, !value.comp};
}

SequenceValue reverse(const SequenceValue& value) {
    const std::string_view seq = value.seq;
    SequenceValue result{value.name, std::string(seq.rbegin(), seq.rend()), value.start, value.end,
                         value.comp};
    swap_coordinates_if_both_set(result);
    return result;
}

SequenceValue reverse_complement(const SequenceValue& value) {
    const std::string_view seq = value.seq;
    std::string text(seq.size(), '\0');
    std::transform(seq.rbegin(), seq.rend(), text.begin(),
                   [](char c) { return static_cast<char>(kComplementTable[static_cast<unsigned char>(c)]); });
    SequenceValue result{value.name, std::move(text), value.start, value.end, value.comp};
    swap_coordinates_if_both_set(result);
    result.comp = !value.comp;
    return result;
}

void reverse_in_place(SequenceValue& value) {
    char* text = value.seq.mutable_data();
    std::reverse(text, text + value.seq.size());
    swap_coordinates_if_both_set(value);
}

void reverse_complement_text(char* s, std::size_t size) {
    std::size_t i = 0;
    std::size_t j = size;
    while (j > i + 1) {
        --j;
        const char left = static_cast<char>(kComplementTable[static_cast<unsigned char>(s[i])]);
        s[i] = static_cast<char>(kComplementTable[static_cast<unsigned char>(s[j])]);
        s[j] = left;
        ++i;
    }
    if (j == i + 1) s[i] = static_cast<char>(kComplementTable[static_cast<unsigned char>(s[i])]);
}

void reverse_complement_in_place(SequenceValue& value) {
    reverse_complement_text(value.seq.mutable_data(), value.seq.size());
    swap_coordinates_if_both_set(value);
    value.comp = !value.comp;
}

std::optional<int> orientation(const SequenceValue& value) {
    if (!value.start || !value.end) return std::nullopt;
    if (*value.start < *value.end && !value.comp) return 1;
    if (*value.start > *value.end && value.comp) return -1;
    return std::nullopt;
}

double gc(std::string_view seq) {
    if (seq.empty()) return 0.0;
    const auto count = std::count_if(seq.begin(), seq.end(),
                                     [](char c) { return is_gc(static_cast<unsigned char>(c)); });
    return static_cast<double>(count) / static_cast<double>(seq.size());
}

double gc_strict(std::string_view seq) {
    std::size_t gc_count = 0;
    std::size_t acgt_count = 0;
    for (char ch : seq) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case 'C': case 'G': case 'c': case 'g': ++gc_count; ++acgt_count; break;
            case 'A': case 'T': case 'a': case 't': ++acgt_count; break;
            default: break;
        }
    }
    return acgt_count == 0 ? 0.0 : static_cast<double>(gc_count) / static_cast<double>(acgt_count);
}

double gc_iupac(std::string_view seq) {
    double sum = 0.0;
    std::size_t counted = 0;
    for (char ch : seq) {
        const double weight = kIupacWeights[static_cast<unsigned char>(ch)];
        if (weight < 0.0) continue;
        sum += weight;
        ++counted;
    }
    return counted == 0 ? 0.0 : sum / static_cast<double>(counted);
}

std::string long_name(const SequenceValue& value) {
    std::string text = value.name;
    if (value.start && value.end) {
        text += ':';
        text += std::to_string(*value.start);
        text += '-';
        text += std::to_string(*value.end);
    }
    if (value.comp) text += " (complement)";
    return text;
}

}  // namespace sekvo
