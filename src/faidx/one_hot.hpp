// One-hot encoding of a columnar batch whose regions share one length.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "faidx/byte_buffer.hpp"
#include "faidx/columnar_fetch.hpp"

namespace sekvo {

// Why `alphabet` cannot be used (empty, not ASCII, a letter twice without
// regard to case), or nothing when it can.
std::optional<std::string> one_hot_alphabet_problem(std::string_view alphabet);

// A zeroed (regions, length, alphabet size) block of 0/1 bytes: byte
// [i][j][k] is 1 when residue j of region i is letter k of the alphabet,
// compared without case; other residues give an all-zero row. Computed on
// the worker pool. `length` must be every region's length. Throws
// std::bad_alloc when the block cannot be had.
ByteBuffer one_hot(const ColumnarBatch& batch, std::size_t length, std::string_view alphabet);

}  // namespace sekvo
