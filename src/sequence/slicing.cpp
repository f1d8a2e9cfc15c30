#include "sequence/slicing.hpp"

#include <algorithm>
#include <optional>

namespace sekvo {

namespace {

std::optional<std::uint64_t> shifted(std::uint64_t base, std::int64_t offset) {
    const __int128 value = static_cast<__int128>(base) + offset;
    if (value < 0 || value > static_cast<__int128>(UINT64_MAX)) return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

// start + first .. start + last, or both unset when either cannot be
// represented or the source lacks a coordinate.
void set_coordinates(const SequenceValue& source, std::int64_t first, std::int64_t last, SequenceValue& result) {
    if (!source.start || !source.end) return;
    auto start = shifted(*source.start, first);
    auto end = shifted(*source.start, last);
    if (start && end) {
        result.start = start;
        result.end = end;
    }
}

// Residues at lo, lo + step, ... below hi_excl (step > 0).
void pick_forward(std::string_view text, std::int64_t lo, std::int64_t hi_excl, std::int64_t step,
                  std::string& out) {
    const auto length = static_cast<std::int64_t>(text.size());
    lo = std::max<std::int64_t>(lo, 0);
    hi_excl = std::min(hi_excl, length);
    if (hi_excl <= lo) return;
    if (step == 1) {
        out.assign(text.substr(static_cast<std::size_t>(lo), static_cast<std::size_t>(hi_excl - lo)));
        return;
    }
    const auto span = static_cast<std::uint64_t>(hi_excl - lo);
    const auto stride = static_cast<std::uint64_t>(step);
    const std::uint64_t count = (span - 1) / stride + 1;
    out.resize(count);
    for (std::uint64_t i = 0; i < count; ++i) out[i] = text[static_cast<std::size_t>(lo) + i * stride];
}

// Residues at hi, hi + step, ... not below lo (step < 0).
void pick_backward(std::string_view text, std::int64_t hi, std::int64_t lo, std::int64_t step,
                   std::string& out) {
    const auto length = static_cast<std::int64_t>(text.size());
    lo = std::max<std::int64_t>(lo, 0);
    hi = std::min(hi, length - 1);
    if (hi < lo) return;
    const auto span = static_cast<std::uint64_t>(hi - lo);
    const std::uint64_t stride = 0 - static_cast<std::uint64_t>(step);
    const std::uint64_t count = span / stride + 1;
    out.resize(count);
    for (std::uint64_t i = 0; i < count; ++i) out[i] = text[static_cast<std::size_t>(hi) - i * stride];
}

}  // namespace

Result<SequenceValue> residue_at(const SequenceValue& value, std::int64_t index) {
    const auto length = static_cast<std::int64_t>(value.seq.size());
    if (index < 0) index += length;
    if (index < 0 || index >= length) return Error{ErrorKind::OutOfRange, "Index out of range"};
    SequenceValue result;
    result.name = value.name;
    result.seq = std::string(1, value.seq[static_cast<std::size_t>(index)]);
    result.comp = value.comp;
    if (value.start) {
        if (auto coordinate = shifted(*value.start, index)) {
            result.start = coordinate;
            result.end = coordinate;
        }
    }
    return result;
}

SequenceValue slice_sequence(const SequenceValue& value, AdjustedSlice slice) {
    SequenceValue result;
    result.name = value.name;
    result.comp = value.comp;
    const auto length = static_cast<std::int64_t>(value.seq.size());
    if (slice.step > 0) {
        std::string text;
        pick_forward(value.seq, slice.start, slice.stop, slice.step, text);
        result.seq = std::move(text);
        set_coordinates(value, slice.start, slice.stop - 1, result);
    } else if (slice.step < 0) {
        // A start before the first residue (-1) walks from the last one.
        const std::int64_t hi = (slice.start >= 0 && slice.start <= length - 1) ? slice.start : length - 1;
        if (slice.stop > hi) {
            set_coordinates(value, hi, hi - 1, result);
        } else {
            const std::int64_t lo = slice.stop + 1;
            std::string text;
            pick_backward(value.seq, hi, lo, slice.step, text);
            result.seq = std::move(text);
            set_coordinates(value, lo, hi, result);
        }
    }
    return result;
}

}  // namespace sekvo
