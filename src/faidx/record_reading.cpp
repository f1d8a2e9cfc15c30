#include "faidx/record_reading.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "faidx/retrieval.hpp"

namespace sekvo {

namespace {

struct Region {
    std::uint64_t first;
    std::uint64_t last;
};

std::uint64_t unsigned_of(std::int64_t value) { return static_cast<std::uint64_t>(value); }

// The region a stepped slice is read through. Adjusted indices satisfy
// 0 <= a, b <= L for a positive step and -1 <= a, b <= L - 1 for a negative
// one; for a negative step the stop b is exclusive, so residue b (1-based)
// is the lowest one the region needs.
Region covering_region(std::uint64_t length, AdjustedSlice slice, bool strict) {
    const std::int64_t a = slice.start;
    const std::int64_t b = slice.stop;
    const bool forward = slice.step > 0;
    if (strict) {
        // Nothing is clamped: an empty forward slice asks for an end before
        // its start and the fetch refuses it, as for step 1.
        if (forward) return {a >= 0 ? unsigned_of(a) + 1 : 1, b >= 0 ? unsigned_of(b) : length};
        const std::uint64_t s = a >= 0 ? unsigned_of(a) + 1 : length;
        // A stop of 0 takes residues down to the second one; asking for
        // residue 0 would refuse a slice that lies inside the record.
        const std::uint64_t e = b >= 1 ? unsigned_of(b) : 1;
        return {std::min(s, e), std::max(s, e)};
    }
    auto clamped = [length](std::uint64_t position) {
        return std::max<std::uint64_t>(std::min(position, length), 1);
    };
    const std::uint64_t s = a < 0 ? clamped(forward ? 1 : length) : clamped(unsigned_of(a) + 1);
    const std::uint64_t e = b < 0 ? clamped(forward ? length : 1) : clamped(unsigned_of(b));
    if (forward) return {s, e};
    return {std::min(s, e), std::max(s, e)};
}

}  // namespace

std::uint64_t record_length(const IndexHandle& handle, std::string_view name) {
    const IndexEntry* entry = handle.lookup(name);
    return entry == nullptr ? 0 : entry->rlen;
}

Result<RegionPlan> plan_record(const IndexHandle& handle, std::string_view name) {
    const IndexEntry* entry = handle.lookup(name);
    if (entry != nullptr && entry->rlen == 0) {
        RegionPlan empty;
        empty.value.name = std::string(name);
        return empty;
    }
    return plan_fetch(handle, name, 1, entry == nullptr ? 0 : entry->rlen);
}

Result<SequenceValue> read_record(const IndexHandle& handle, std::string_view name) {
    return complete(handle, plan_record(handle, name));
}

Result<SequenceValue> read_record_residue(const IndexHandle& handle, std::string_view name,
                                          std::int64_t key) {
    // A position below 1 wraps to its two's-complement value, past the end
    // of every record, so the bounds policy reports it.
    const std::uint64_t position =
        key >= 0 ? unsigned_of(key) + 1
                 : static_cast<std::uint64_t>(static_cast<__int128>(key) + record_length(handle, name) + 1);
    return fetch(handle, name, position, position);
}

Result<SequenceValue> read_record_slice(const IndexHandle& handle, std::string_view name,
                                        AdjustedSlice slice) {
    const std::uint64_t length = record_length(handle, name);
    if (slice.step == 1) {
        const std::uint64_t first = unsigned_of(std::max<std::int64_t>(slice.start, 0)) + 1;
        const std::uint64_t last = slice.stop < 0 ? length : unsigned_of(slice.stop);
        return fetch(handle, name, first, last);
    }
    const Region region = covering_region(length, slice, handle.options().strict_bounds);
    Result<SequenceValue> covering = fetch(handle, name, region.first, region.last);
    if (!covering) return covering;
    if (slice.step < 0 && slice.start < 0) {
        // A negative step that starts before the first residue takes nothing
        // from the record's text; the Sequence rule would walk from the last
        // residue instead, which is not what slicing the record gives.
        SequenceValue& empty = covering.value();
        empty.seq.clear();
        empty.start.reset();
        empty.end.reset();
        return covering;
    }
    // Positions relative to the covering region's first residue. first - 1
    // is at most the slice's length, which fits the signed range.
    const auto shift = static_cast<std::int64_t>(region.first - 1);
    return slice_sequence(covering.value(), AdjustedSlice{slice.start - shift, slice.stop - shift, slice.step});
}

Result<std::vector<SequenceValue>> read_reversed_pieces(const IndexHandle& handle, std::string_view name) {
    std::vector<SequenceValue> pieces;
    const IndexEntry* entry = handle.lookup(name);
    if (entry == nullptr || entry->rlen == 0) return pieces;
    const std::uint64_t size = entry->lenc == 0 ? entry->rlen : entry->lenc;
    // Reserving first turns an index that promises absurdly many pieces
    // into an immediate allocation failure instead of a long loop.
    const std::uint64_t count = (entry->rlen - 1) / size + 1;
    if (count > pieces.max_size()) throw std::length_error("too many pieces");
    pieces.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t first = 1;;) {
        const std::uint64_t last = piece_end(first, entry->lenc, entry->rlen);
        Result<SequenceValue> piece = fetch(handle, name, first, last);
        if (!piece) return std::move(piece.error());
        pieces.push_back(piece.take());
        if (last >= entry->rlen) break;
        first = last + 1;
    }
    std::reverse(pieces.begin(), pieces.end());
    for (SequenceValue& piece : pieces) reverse_in_place(piece);
    return pieces;
}

std::uint64_t piece_end(std::uint64_t position, std::uint64_t line_length, std::uint64_t length) {
    if (line_length == 0) return length;
    std::uint64_t end;
    if (__builtin_add_overflow(position, line_length - 1, &end)) return length;
    return std::min(end, length);
}

std::uint64_t unpadded_length(std::string_view text) {
    auto is_padding = [](char c) { return c == 'N' || c == 'n'; };
    std::size_t front = 0;
    while (front < text.size() && is_padding(text[front])) ++front;
    std::size_t back = text.size();
    while (back > front && is_padding(text[back - 1])) --back;
    return back - front;
}

}  // namespace sekvo
