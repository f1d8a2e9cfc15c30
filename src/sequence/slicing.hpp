// Indexing and slicing of a sequence value, as Sequence and FastaRecord
// apply them: which residues are taken and which coordinates the result
// gets. Coordinates are unsigned 64-bit; a result coordinate that would
// fall outside 0..2^64-1 leaves both coordinates of the result unset.
#pragma once

#include "common/error.hpp"
#include "sequence/sequence_value.hpp"

#include <cstdint>

namespace sekvo {

// Slice indices as Python's slice resolution (PySlice_Unpack, then
// PySlice_AdjustIndices against the text's byte length) leaves them:
// for step > 0, 0 <= start, stop <= len; for step < 0, -1 <= start,
// stop <= len - 1. Step is never 0.
struct AdjustedSlice {
    std::int64_t start;
    std::int64_t stop;
    std::int64_t step;
};

// The residue at `index` (negative counts from the end, once) as a
// one-residue value: name and comp copied, start = end = start + position
// when start is set, both unset otherwise. ErrorKind::OutOfRange
// "Index out of range" when the index misses the text.
Result<SequenceValue> residue_at(const SequenceValue& value, std::int64_t index);

// The residues picked by the slice, name and comp copied. Coordinates
// (only when start and end are both set; S = start):
//   step > 0:                 S + start .. S + stop - 1 (from the bounds,
//                             not from the last residue picked)
//   step < 0, residues taken: S + lo .. S + hi, ascending
//   step < 0, nothing taken:  S + hi .. S + hi - 1
// where hi is the adjusted start (the last residue when it is -1) and lo
// is stop + 1. Negative steps reverse the text but do not complement it.
SequenceValue slice_sequence(const SequenceValue& value, AdjustedSlice slice);

}  // namespace sekvo
