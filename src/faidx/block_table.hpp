// Where each BGZF block of a file starts, in the compressed file and in
// the text it inflates to, and the ".gzi" file that stores this.
//
// The ".gzi" layout is htslib's: a little-endian 64-bit count, then that
// many pairs (compressed offset, uncompressed offset), one for every block
// holding data except the first, which starts at (0, 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace sekvo {

struct BlockTable {
    // One entry per block that holds data, in file order; the first is the
    // block at offset 0 (even when empty). Equal lengths.
    std::vector<std::uint64_t> compressed;
    std::vector<std::uint64_t> uncompressed;
    // Where the data ends: the compressed offset of the end-of-file block
    // (or of the file's end) and the size of the whole text.
    std::uint64_t compressed_end = 0;
    std::uint64_t uncompressed_end = 0;

    std::size_t blocks() const { return compressed.size(); }
    // The block holding uncompressed byte `offset` (< uncompressed_end).
    std::size_t block_of(std::uint64_t offset) const;
    std::uint64_t inflated_size(std::size_t block) const {
        return (block + 1 < blocks() ? uncompressed[block + 1] : uncompressed_end) - uncompressed[block];
    }
    std::uint64_t compressed_limit(std::size_t block) const {
        return block + 1 < blocks() ? compressed[block + 1] : compressed_end;
    }
};

// The ".gzi" bytes for `table`.
std::string format_gzi(const BlockTable& table);

// The entries of a ".gzi" file's bytes: the block at (0, 0) first, then
// the stored ones. Both offsets must grow (the uncompressed ones may stay
// equal) and the compressed ones stay below `compressed_size`. The caller
// completes compressed_end and uncompressed_end. On failure, `problem`
// says what is wrong and where.
std::optional<BlockTable> parse_gzi(std::string_view bytes, std::uint64_t compressed_size, std::string& problem);

}  // namespace sekvo
