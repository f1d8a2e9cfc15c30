// Columnar batch fetch: the residues of many regions in one buffer, one
// region after another, with the offsets where each begins.
//
// Every region follows the rules of the parallel batch fetch, whatever the
// count: strict bounds fail with ErrorKind::Region, lenient bounds clamp
// silently, no warnings; a failure is ErrorKind::BatchFailed naming the
// first failing region in input order ("Error fetching region i: ...").
// All regions are planned first; the prefix sum of their lengths sizes
// one buffer, and the worker pool copies each region straight into its
// slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "faidx/byte_buffer.hpp"
#include "common/error.hpp"
#include "faidx/index_handle.hpp"
#include "faidx/region_columns.hpp"

namespace sekvo {

enum class Orientation {
    forward,      // as stored
    reverse_all,  // every region reverse-complemented
    by_strand,    // regions on the reverse strand reverse-complemented
};

struct ColumnarBatch {
    ByteBuffer residues;                // every region's residues, in order
    std::vector<std::int64_t> offsets;  // region i is [offsets[i], offsets[i + 1])
    // What the batch fetch's Sequence of region i carries besides its
    // residues: coordinates (absent under as_raw) and the complement flag.
    std::vector<std::uint64_t> value_starts;
    std::vector<std::uint64_t> value_ends;
    std::vector<std::uint8_t> value_flags;  // kHasCoordinates | kComplement
    bool ascii = true;                      // every residue byte is ASCII

    static constexpr std::uint8_t kHasCoordinates = 1;
    static constexpr std::uint8_t kComplement = 2;

    std::size_t size() const { return offsets.empty() ? 0 : offsets.size() - 1; }
    std::string_view residues_of(std::size_t i) const {
        return {residues.data() + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])};
    }
    // The common length when every region has the same one (0 regions: 0).
    std::optional<std::size_t> common_length() const;
};

// Regions [begin, end) of `regions`; error positions count from 0 at the
// start of `regions`, so a caller that walks a long list in windows gets
// the same errors as one call over the whole list. Throws std::bad_alloc
// when the buffer cannot be had. `reuse`, when given and large enough,
// becomes the residue buffer (its pages are already faulted in; it may be
// larger than the residues): a caller fetching window after window hands
// back the previous batch's buffer.
Result<ColumnarBatch> fetch_columns(const IndexHandle& handle, const RegionColumns& regions, std::size_t begin,
                                    std::size_t end, Orientation orientation, ByteBuffer* reuse = nullptr);
inline Result<ColumnarBatch> fetch_columns(const IndexHandle& handle, const RegionColumns& regions,
                                           Orientation orientation) {
    return fetch_columns(handle, regions, 0, regions.size(), orientation);
}

}  // namespace sekvo
