// Batch retrieval: below 1000 regions one after another on the calling
// thread (with warnings), from 1000 on in parallel on the worker pool.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "faidx/error.hpp"
#include "faidx/index_handle.hpp"
#include "sequence/sequence_value.hpp"

namespace sekvo {

inline constexpr std::size_t kParallelThreshold = 1000;

struct NamedRegion {
    std::string_view name;  // must outlive the call
    std::uint64_t start;
    std::uint64_t end;
};

struct Span {
    std::uint64_t start;
    std::uint64_t end;
};

// Errors: the first failing region's error unchanged on the sequential
// path; ErrorKind::BatchFailed ("Error fetching region i: <display text>")
// on the parallel path.
Result<std::vector<SequenceValue>> fetch_many(const IndexHandle& handle,
                                              const std::vector<NamedRegion>& regions);
Result<std::vector<SequenceValue>> fetch_many_same_chr(const IndexHandle& handle,
                                                       std::string_view name,
                                                       const std::vector<Span>& regions);

}  // namespace sekvo
