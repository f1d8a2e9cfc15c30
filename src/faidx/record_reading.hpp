// Reading one named record the way FastaRecord and its residue iterator do:
// the whole text, one residue, a slice, line-sized pieces. Every read goes
// through the single-region fetch (bounds policy, warnings, filler, case,
// coordinates) except the whole-record read of a slice that covers it all.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "faidx/index_handle.hpp"
#include "faidx/retrieval.hpp"
#include "sequence/sequence_value.hpp"
#include "sequence/slicing.hpp"

namespace sekvo {

// The record's length in residues, 0 when the name is not in the table.
std::uint64_t record_length(const IndexHandle& handle, std::string_view name);

// Residues 1..length. A record of length 0 reads as empty text, whatever
// the bounds policy: the request 1..0 would warn or raise for a record that
// is simply empty. A missing name is the fetch's FetchError.
Result<SequenceValue> read_record(const IndexHandle& handle, std::string_view name);
// The same as a plan, for callers that copy the residues themselves.
Result<RegionPlan> plan_record(const IndexHandle& handle, std::string_view name);

// The residue at Python index `key` (a negative key counts from the end
// once). No range check of its own: position 0, negative or past the end
// goes to the fetch's bounds policy.
Result<SequenceValue> read_record_residue(const IndexHandle& handle, std::string_view name,
                                          std::int64_t key);

// The slice `slice`, resolved by the interpreter against `record_length`
// (clamped to the signed 64-bit range), read through a region that covers
// it and then sliced with the rule of slice_sequence, so that the residues
// are those of slicing the record's full text. Step 1 reads exactly the
// slice's region, so an empty slice meets the bounds policy.
Result<SequenceValue> read_record_slice(const IndexHandle& handle, std::string_view name,
                                        AdjustedSlice slice);

// The record cut into pieces of `lenc` residues (the whole record as one
// piece when lenc is 0), last piece first, each reversed. Empty for a
// missing name or a record of length 0; the first failing piece fails all.
Result<std::vector<SequenceValue>> read_reversed_pieces(const IndexHandle& handle, std::string_view name);

// The last residue of the piece that starts at `position`: `line_length`
// residues, fewer at the record's end; the rest of the record when
// `line_length` is 0 (an index the scanner never writes).
std::uint64_t piece_end(std::uint64_t position, std::uint64_t line_length, std::uint64_t length);

// The text's length without its leading and trailing runs of N and n.
std::uint64_t unpadded_length(std::string_view text);

}  // namespace sekvo
