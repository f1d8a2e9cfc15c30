// Fetched residues that go straight into the storage of a new Python str,
// so that str() of a fetched Sequence hands out that str without copying.
// The str is made before the copy (compact ASCII, the exact length); a
// result that turns out shorter or not ASCII is completed the usual way.
#pragma once

#include "lib/binding/python.hpp"

#include <vector>

#include "faidx/batch.hpp"
#include "faidx/retrieval.hpp"

namespace sekvo {

// Single fetches from this size on go into a str's storage. Smaller ones
// are copied into memory of their own: making their str at once would cost
// the calls that never ask for it more than it saves those that do.
inline constexpr std::size_t kStrStorageThreshold = 4096;

// Batch results from this size on go into a str's storage. Below it the
// copy that str() makes later costs less than making the str at once on the
// calling thread and writing it from another.
inline constexpr std::size_t kBatchStrThreshold = 256;

// The plan's result, its residues in a str's storage when they can be; a
// failed plan's error passes through.
Result<SequenceValue> complete_in_str(const IndexHandle& handle, RegionPlan&& plan);
Result<SequenceValue> complete_in_str(const IndexHandle& handle, Result<RegionPlan>&& plan);

// The str whose storage holds these residues, or null when they are not
// in a str's storage (owned, or lent by another owner).
PyObject* lending_str(const Residues& residues);

// Batch buffers that are new strs, made on the calling thread: the batch
// copies into them while the next ones are made, so that a result reaches
// Python written once. A str that cannot be made throws std::bad_alloc
// with MemoryError set.
class StrBuffers final : public ResultBuffers {
public:
    explicit StrBuffers(std::size_t count) : texts_(count, nullptr) {}
    ~StrBuffers() override;
    StrBuffers(const StrBuffers&) = delete;
    StrBuffers& operator=(const StrBuffers&) = delete;

    std::size_t min_size() const override { return kBatchStrThreshold; }
    char* provide(std::size_t index, std::size_t size) override;
    // Values whose residues are in their buffer get it as their residues.
    void lend_to(BatchResult& batch);

private:
    std::vector<PyObject*> texts_;
};

}  // namespace sekvo
