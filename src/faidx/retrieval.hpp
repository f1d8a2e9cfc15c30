// Region retrieval: record name + 1-based inclusive coordinates -> residues.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "faidx/error.hpp"
#include "faidx/index_handle.hpp"
#include "sequence/sequence_value.hpp"

namespace sekvo {

// Single-region fetch. Strict bounds: ErrorKind::OutOfRange (IndexError)
// with the coordinate message. Lenient bounds: writes the WARNING line to
// standard error and returns the corrected or empty result.
Result<SequenceValue> fetch(const IndexHandle& handle, std::string_view name,
                            std::uint64_t start, std::uint64_t end);

// Whole record, no bounds policy, no warnings, no padding.
Result<SequenceValue> fetch_entire_sequence(const IndexHandle& handle, std::string_view name);

// Per-region fetch of the parallel batch path: never writes to standard
// error, strict bounds give ErrorKind::Region, lenient bounds clamp silently.
Result<SequenceValue> fetch_for_batch(const IndexHandle& handle, std::string_view name,
                                      std::uint64_t start, std::uint64_t end);

// Copy `count` residues starting at 1-based residue `first` of `entry`
// (fewer if the data ends), skipping CR and LF. Never reads outside
// [data, data + size).
std::string read_from_mapping(const unsigned char* data, std::uint64_t size,
                              const IndexEntry& entry, std::uint64_t first, std::uint64_t count);
// The same bytes as read_from_mapping would return, read with pread.
Result<std::string> read_from_file(int fd, const IndexEntry& entry, std::uint64_t first,
                                   std::uint64_t count);

}  // namespace sekvo
