// Region retrieval: record name + 1-based inclusive coordinates -> residues.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "common/error.hpp"
#include "faidx/index_handle.hpp"
#include "faidx/uncompressed_source.hpp"
#include "sequence/sequence_value.hpp"

namespace sekvo {

// The error of a name that the index does not hold.
Error sequence_not_found(std::string_view name);

// Single-region fetch. Strict bounds: ErrorKind::OutOfRange (IndexError)
// with the coordinate message. Lenient bounds: writes the WARNING line to
// standard error and returns the corrected or empty result.
Result<SequenceValue> fetch(const IndexHandle& handle, std::string_view name,
                            std::uint64_t start, std::uint64_t end);

// Each fetch is a plan (name lookup, bounds policy, warnings,
// coordinates) followed by copying the residues. Callers that want the
// residues in memory of their own plan first, then fill their buffer.
// Where a plan's residues lie: all that copying them needs, so that a
// batch can keep this part of many plans without their values. No
// default values: a batch's array of them stays unwritten (and its pages
// untouched) until the planning fills it.
struct ResidueSpan {
    const IndexEntry* entry;  // null: the result has no residues
    std::uint64_t first;      // 1-based first residue
    std::uint64_t count;      // residues asked for
    bool pad;                 // pad a short copy with default_seq
};

struct RegionPlan : ResidueSpan {
    RegionPlan() : ResidueSpan{nullptr, 0, 0, true} {}
    RegionPlan(const ResidueSpan& span, SequenceValue planned) : ResidueSpan(span), value(std::move(planned)) {}

    SequenceValue value;  // name and coordinates, no residues yet
};

Result<RegionPlan> plan_fetch(const IndexHandle& handle, std::string_view name, std::uint64_t start,
                              std::uint64_t end);
// The same for a record already looked up (`record` is the entry of `name`).
Result<RegionPlan> plan_fetch(const IndexHandle& handle, std::string_view name, const IndexEntry& record,
                              std::uint64_t start, std::uint64_t end);
// The plan of a region in the parallel batch path: never writes to standard
// error, strict bounds give ErrorKind::Region, lenient bounds clamp silently.
Result<RegionPlan> plan_fetch_for_batch(const IndexHandle& handle, std::string_view name,
                                        const IndexEntry& record, std::uint64_t start, std::uint64_t end);
// The whole record: no bounds policy, no warnings, no padding.
Result<RegionPlan> plan_entire_sequence(const IndexHandle& handle, std::string_view name);
Result<RegionPlan> plan_fetch_for_batch(const IndexHandle& handle, std::string_view name,
                                        std::uint64_t start, std::uint64_t end);

// The plan's result with its residues copied into memory the value owns;
// a failed plan's error passes through.
Result<SequenceValue> complete(const IndexHandle& handle, RegionPlan&& plan);
Result<SequenceValue> complete(const IndexHandle& handle, Result<RegionPlan>&& plan);

// Size of the buffer fill_buffer needs, or 0 when the plan can only be
// completed with complete(): no residues to copy, or no mapping to copy from.
std::size_t buffer_size(const IndexHandle& handle, const ResidueSpan& plan);

// Starts loading the plan's first residues from the mapping, if any.
void prefetch(const IndexHandle& handle, const ResidueSpan& plan);

// Copies the plan's residues into `out` (buffer_size bytes), with the case
// setting applied. True when `out` then holds the whole result and all of
// it is ASCII; false when the copy came out short or found other bytes
// (complete() gives the result then).
Result<bool> fill_buffer(const IndexHandle& handle, const ResidueSpan& plan, char* out);

// Copy `count` residues starting at 1-based residue `first` of `entry`
// (fewer if the data ends), skipping CR and LF. Never reads outside
// [data, data + size).
std::string read_from_mapping(const unsigned char* data, std::uint64_t size,
                              const IndexEntry& entry, std::uint64_t first, std::uint64_t count);
// The same copy into out[0, capacity): how many bytes were written, and
// whether every byte looked at on the way was ASCII.
struct BufferCopy {
    std::size_t written = 0;
    bool ascii = true;
};
BufferCopy read_into_buffer(const unsigned char* data, std::uint64_t size, const IndexEntry& entry,
                            std::uint64_t first, std::uint64_t count, char* out, std::size_t capacity);
// Asks the processor to start loading the first bytes of a region's
// window, so that a batch can overlap the memory latency of many regions.
void prefetch_region(const unsigned char* data, std::uint64_t size, const IndexEntry& entry, std::uint64_t first,
                     std::uint64_t count);
// The same bytes as read_from_mapping would return, read with pread.
Result<std::string> read_from_file(int fd, const IndexEntry& entry, std::uint64_t first,
                                   std::uint64_t count);

// The same copies from a text that is not the file's own bytes (a
// compressed file), read through `source`.
Result<std::string> read_from_source(const UncompressedSource& source, const IndexEntry& entry,
                                     std::uint64_t first, std::uint64_t count);
Result<BufferCopy> read_source_into_buffer(const UncompressedSource& source, const IndexEntry& entry,
                                           std::uint64_t first, std::uint64_t count, char* out,
                                           std::size_t capacity);

// The bytes [begin, end) of the text that the copies above look at for a
// region; begin == end when there are none.
struct ByteRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};
ByteRange region_byte_range(const IndexEntry& entry, std::uint64_t first, std::uint64_t count,
                            std::uint64_t file_size);

// The file offset of the residue at 0-based `index` of a record whose
// lines hold residues (lenc > 0). Saturating: absurd numbers give an
// offset past the end of any real file, never a wrapped one.
std::uint64_t residue_file_offset(const IndexEntry& entry, std::uint64_t index);

}  // namespace sekvo
