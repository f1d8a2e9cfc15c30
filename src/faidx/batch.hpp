// Batch retrieval: below 1000 regions one after another on the calling
// thread (with warnings), from 1000 on in parallel on the worker pool.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "faidx/index_handle.hpp"
#include "faidx/retrieval.hpp"
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

// Memory for batch results that the caller provides. Asked for on the
// calling thread, in input order, for every region of at least min_size()
// bytes; the buffer for region `index` must hold `size` bytes and outlive
// the call. Smaller regions are copied into memory of their own. A buffer
// may be filled while the calling thread asks for the next ones.
class ResultBuffers {
public:
    virtual ~ResultBuffers() = default;
    virtual std::size_t min_size() const = 0;
    virtual char* provide(std::size_t index, std::size_t size) = 0;
};

struct BatchResult {
    std::vector<SequenceValue> values;
    // Positions whose residues are the whole buffer provided for them (their
    // value.seq is left empty), in increasing order.
    std::vector<std::size_t> in_buffer;
};

// Errors: the first failing region's error unchanged on the sequential
// path; ErrorKind::BatchFailed ("Error fetching region i: <display text>")
// on the parallel path.
Result<std::vector<SequenceValue>> fetch_many(const IndexHandle& handle,
                                              const std::vector<NamedRegion>& regions);
Result<std::vector<SequenceValue>> fetch_many_same_chr(const IndexHandle& handle,
                                                       std::string_view name,
                                                       const std::vector<Span>& regions);

// The same batches, copying into the caller's buffers where they can.
Result<BatchResult> fetch_many_into(const IndexHandle& handle,
                                    const std::vector<NamedRegion>& regions, ResultBuffers& buffers);
Result<BatchResult> fetch_many_same_chr_into(const IndexHandle& handle, std::string_view name,
                                             const std::vector<Span>& regions, ResultBuffers& buffers);

}  // namespace sekvo
