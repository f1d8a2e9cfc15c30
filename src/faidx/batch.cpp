// Batch retrieval. Short lists go region by region through the single
// fetch (warnings, IndexError-style failures); long lists are fetched on the
// worker pool with the silent per-region fetch, into a pre-sized output.
// Regions large enough for the caller's buffers are copied into those.
#include "faidx/batch.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "common/huge_pages.hpp"
#include "faidx/block_windows.hpp"
#include "faidx/result_blocks.hpp"
#include "faidx/retrieval.hpp"
#include "faidx/worker_pool.hpp"

namespace sekvo {
namespace {

using Values = std::vector<SequenceValue>;

// The size of the caller's buffer for this region, or 0 when it gets none.
std::size_t wanted_buffer(const IndexHandle& handle, const RegionPlan& plan, const ResultBuffers& buffers) {
    const std::size_t size = buffer_size(handle, plan);
    return size >= buffers.min_size() ? size : 0;
}

// Copies a planned region into `buffer` when given one and it can hold the
// whole result (true: `out` is the value without residues); otherwise
// into memory the value owns (false).
Result<bool> finish(const IndexHandle& handle, RegionPlan&& plan, char* buffer, SequenceValue& out) {
    if (buffer != nullptr) {
        Result<bool> filled = fill_buffer(handle, plan, buffer);
        if (!filled) return std::move(filled.error());
        if (filled.value()) {
            out = std::move(plan.value);
            return true;
        }
    }
    Result<SequenceValue> value = complete(handle, std::move(plan));
    if (!value) return std::move(value.error());
    out = value.take();
    return false;
}

// Copies a small planned region into the batch's result blocks, or into
// memory the value owns when it does not fit there or the copy turns out
// short or not ASCII.
Result<bool> finish_in_blocks(const IndexHandle& handle, RegionPlan&& plan, ResultBlocks& blocks,
                              ResultBlocks::Slab& slab, SequenceValue& out) {
    const std::size_t size = buffer_size(handle, plan);
    ResultBlocks::Block* owner = nullptr;
    char* target = size != 0 ? slab.carve(blocks, size, owner) : nullptr;
    if (target != nullptr) {
        Result<bool> filled = fill_buffer(handle, plan, target);
        if (filled && filled.value()) {
            out = std::move(plan.value);
            out.seq = Residues::lend(target, size, owner, ResultBlocks::release);
            return false;
        }
        slab.undo(target);
        if (!filled) return std::move(filled.error());
    }
    return finish(handle, std::move(plan), nullptr, out);
}

// A result of `count` empty values, on huge pages where the kernel grants them.
BatchResult presized_result(std::size_t count) {
    BatchResult result;
    reserve_on_huge_pages(result.values, count);
    result.values.resize(count);
    return result;
}

// Region by region, stopping at the first failure with its error unchanged.
template <class PlanOne>
Result<BatchResult> fetch_sequentially(const IndexHandle& handle, std::size_t count, PlanOne plan_one,
                                       ResultBuffers& buffers) {
    BatchResult result = presized_result(count);
    for (std::size_t i = 0; i < count; ++i) {
        Result<RegionPlan> plan = plan_one(i);
        if (!plan.ok()) return std::move(plan.error());
        const std::size_t size = wanted_buffer(handle, plan.value(), buffers);
        char* buffer = size != 0 ? buffers.provide(i, size) : nullptr;
        Result<bool> in_buffer = finish(handle, plan.take(), buffer, result.values[i]);
        if (!in_buffer.ok()) return std::move(in_buffer.error());
        if (in_buffer.value()) result.in_buffer.push_back(i);
    }
    return result;
}

// The failure with the lowest position among those reported by the chunks.
class FirstFailure {
public:
    void offer(std::size_t position, Error error) {
        if (position >= lowest_.load(std::memory_order_relaxed)) return;
        std::lock_guard lock(mutex_);
        if (position >= lowest_.load(std::memory_order_relaxed)) return;
        lowest_.store(position, std::memory_order_relaxed);
        error_ = std::move(error);
    }
    // Read after the parallel call has returned.
    bool failed() const { return error_.has_value(); }
    std::size_t position() const { return lowest_.load(std::memory_order_relaxed); }
    const Error& error() const { return *error_; }

private:
    std::atomic<std::size_t> lowest_{std::numeric_limits<std::size_t>::max()};
    std::mutex mutex_;
    std::optional<Error> error_;
};

// A chunk's first failure in input order.
class ChunkFailure {
public:
    void note(std::size_t position, Error&& error) {
        if (!failure_ || position < failure_->first) failure_.emplace(position, std::move(error));
    }
    void report(FirstFailure& first_failure) {
        if (failure_) first_failure.offer(failure_->first, std::move(failure_->second));
    }
    // For a chunk over a subset of the batch: position k is the batch's
    // region `regions[k]` (`regions` ascending, so the order holds).
    void report(FirstFailure& first_failure, const std::vector<std::size_t>& regions) {
        if (failure_) first_failure.offer(regions[failure_->first], std::move(failure_->second));
    }

private:
    std::optional<std::pair<std::size_t, Error>> failure_;
};

// Each region of [begin, end) is planned, and its first bytes prefetched,
// kAhead regions before it is handed to copy(i, plan), so that a chunk
// keeps several memory loads in flight instead of waiting for each
// region's in turn. A plan that put_aside(i, plan) takes is not copied.
template <class PlanOne, class PutAside, class Copy>
void copy_planned_ahead(const IndexHandle& handle, std::size_t begin, std::size_t end, PlanOne& plan_one,
                        ChunkFailure& failure, PutAside put_aside, Copy copy) {
    constexpr std::size_t kAhead = 8;
    std::array<std::optional<RegionPlan>, kAhead> in_flight;
    for (std::size_t i = begin; i < end + kAhead; ++i) {
        std::optional<RegionPlan>& slot = in_flight[i % kAhead];
        if (i >= begin + kAhead && slot) {
            const std::size_t j = i - kAhead;
            Result<bool> done = copy(j, std::move(*slot));
            if (!done.ok()) failure.note(j, std::move(done.error()));
        }
        slot.reset();
        if (i >= end) continue;
        Result<RegionPlan> plan = plan_one(i);
        if (!plan.ok()) {
            failure.note(i, std::move(plan.error()));
        } else if (!put_aside(i, plan.value())) {
            prefetch(handle, plan.value());
            slot = plan.take();
        }
    }
}

// A compressed file: every region is planned first, on the pool; then the
// caller's buffers are asked for in input order; then the regions are
// copied window by window of inflated blocks. The failure reported is the
// first in input order, as on the plain path.
template <class PlanOne, class Describe>
Result<BatchResult> fetch_planned_first(const IndexHandle& handle, std::size_t count, PlanOne plan_one,
                                        Describe describe, ResultBuffers& buffers) {
    BatchResult result = presized_result(count);
    FirstFailure first_failure;
    std::vector<std::optional<RegionPlan>> plans(count);
    auto plan_chunk = [&](std::size_t begin, std::size_t end) {
        ChunkFailure failure;
        for (std::size_t i = begin; i < end; ++i) {
            Result<RegionPlan> plan = plan_one(i);
            if (plan.ok()) plans[i] = plan.take();
            else failure.note(i, std::move(plan.error()));
        }
        failure.report(first_failure);
    };
    parallel_for_each_chunk(count, ChunkWork(plan_chunk));
    if (first_failure.failed())
        return Error{ErrorKind::BatchFailed, describe(first_failure.position(), first_failure.error())};

    std::vector<char*> targets(count, nullptr);
    std::vector<const ResidueSpan*> planned(count);
    for (std::size_t i = 0; i < count; ++i) {
        planned[i] = &*plans[i];
        const std::size_t size = wanted_buffer(handle, *plans[i], buffers);
        if (size != 0) targets[i] = buffers.provide(i, size);
    }
    std::vector<unsigned char> filled(count, 0);
    copy_in_block_windows(handle, planned, [&](std::size_t i) {
        Result<bool> in_buffer = finish(handle, std::move(*plans[i]), targets[i], result.values[i]);
        if (!in_buffer.ok()) first_failure.offer(i, std::move(in_buffer.error()));
        else filled[i] = in_buffer.value();
    });
    if (first_failure.failed())
        return Error{ErrorKind::BatchFailed, describe(first_failure.position(), first_failure.error())};
    for (std::size_t i = 0; i < count; ++i)
        if (filled[i]) result.in_buffer.push_back(i);
    return result;
}

// Buffers filled as they are given. Every region is planned on the pool;
// those below the caller's buffer size are copied at once into the batch's
// result blocks, the others wait with their sizes. Then the calling thread
// asks for their buffers in input order while the pool's workers copy the
// regions into those already given, behind it, and the calling thread
// copies too once it has them all.
template <class PlanOne, class Describe>
Result<BatchResult> fetch_behind_buffers(const IndexHandle& handle, std::size_t count, PlanOne plan_one,
                                         Describe describe, ResultBuffers& buffers) {
    BatchResult result = presized_result(count);
    // Buffer sizes, 0 for regions copied in the first pass. The spans of
    // the others are written only for them (their values wait in the
    // result): memory never touched costs nothing, where a batch of small
    // regions would fault it all in.
    std::vector<std::size_t> sizes(count, 0);
    auto spans = std::make_unique_for_overwrite<ResidueSpan[]>(count);
    FirstFailure first_failure;
    ResultBlocks blocks;
    auto plan_chunk = [&](std::size_t begin, std::size_t end) {
        ChunkFailure failure;
        ResultBlocks::Slab slab;
        copy_planned_ahead(
            handle, begin, end, plan_one, failure,
            [&](std::size_t i, RegionPlan& plan) {
                sizes[i] = wanted_buffer(handle, plan, buffers);
                if (sizes[i] == 0) return false;
                spans[i] = plan;
                result.values[i] = std::move(plan.value);
                return true;
            },
            [&](std::size_t i, RegionPlan&& plan) {
                return finish_in_blocks(handle, std::move(plan), blocks, slab, result.values[i]);
            });
        failure.report(first_failure);
    };
    parallel_for_each_chunk(count, ChunkWork(plan_chunk));
    if (first_failure.failed())
        return Error{ErrorKind::BatchFailed, describe(first_failure.position(), first_failure.error())};

    // The second pass walks only the regions that wait for a buffer, the
    // k-th of them being region waiting[k].
    std::vector<std::size_t> waiting;
    waiting.reserve(count);  // pages past those used are never touched
    for (std::size_t i = 0; i < count; ++i)
        if (sizes[i] != 0) waiting.push_back(i);
    if (waiting.empty()) return result;
    std::vector<char*> targets(waiting.size(), nullptr);
    auto provide = [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) targets[k] = buffers.provide(waiting[k], sizes[waiting[k]]);
    };
    auto planned = [&](std::size_t k) -> Result<RegionPlan> {
        const std::size_t i = waiting[k];
        return RegionPlan{spans[i], std::move(result.values[i])};
    };
    std::vector<unsigned char> filled(waiting.size(), 0);
    auto fill_chunk = [&](std::size_t begin, std::size_t end) {
        ChunkFailure failure;
        copy_planned_ahead(
            handle, begin, end, planned, failure, [](std::size_t, RegionPlan&) { return false; },
            [&](std::size_t k, RegionPlan&& plan) -> Result<bool> {
                Result<bool> in_buffer = finish(handle, std::move(plan), targets[k], result.values[waiting[k]]);
                if (in_buffer.ok()) filled[k] = in_buffer.value();
                return in_buffer;
            });
        failure.report(first_failure, waiting);
    };
    parallel_for_each_chunk_behind(waiting.size(), ChunkWork(provide), ChunkWork(fill_chunk));
    if (first_failure.failed())
        return Error{ErrorKind::BatchFailed, describe(first_failure.position(), first_failure.error())};
    for (std::size_t k = 0; k < waiting.size(); ++k)
        if (filled[k]) result.in_buffer.push_back(waiting[k]);
    return result;
}

// A mapped file's regions are copied while the caller's buffers are given
// (fetch_behind_buffers); a compressed file's once all are planned.
template <class PlanOne, class Describe>
Result<BatchResult> fetch_in_parallel(const IndexHandle& handle, std::size_t count, PlanOne plan_one,
                                      Describe describe, ResultBuffers& buffers) {
    if (handle.bgzf() != nullptr) return fetch_planned_first(handle, count, plan_one, describe, buffers);
    return fetch_behind_buffers(handle, count, plan_one, describe, buffers);
}

// Owned buffers for the calls that return plain values.
class OwnedBuffers final : public ResultBuffers {
public:
    explicit OwnedBuffers(std::size_t count, std::size_t min_size) : texts_(count), min_size_(min_size) {}
    std::size_t min_size() const override { return min_size_; }
    char* provide(std::size_t index, std::size_t size) override {
        texts_[index].resize(size);
        return texts_[index].data();
    }
    Result<Values> values_of(Result<BatchResult>&& result) {
        if (!result.ok()) return std::move(result.error());
        BatchResult& batch = result.value();
        for (std::size_t i : batch.in_buffer) batch.values[i].seq = std::move(texts_[i]);
        return std::move(batch.values);
    }

private:
    std::vector<std::string> texts_;
    std::size_t min_size_;
};

// Plain values are copied into buffers only from this size on, so that
// both ways of copying serve every batch.
constexpr std::size_t kOwnedBufferMinSize = 200;

std::string region_failure(std::size_t position, const Error& error) {
    return "Error fetching region " + std::to_string(position) + ": " + error.display_text();
}

}  // namespace

Result<BatchResult> fetch_many_into(const IndexHandle& handle, const std::vector<NamedRegion>& regions,
                              ResultBuffers& buffers) {
    if (regions.empty()) return BatchResult{};
    if (regions.size() < kParallelThreshold) {
        return fetch_sequentially(handle, regions.size(), [&](std::size_t i) {
            const NamedRegion& region = regions[i];
            return plan_fetch(handle, region.name, region.start, region.end);
        }, buffers);
    }
    return fetch_in_parallel(
        handle, regions.size(),
        [&](std::size_t i) {
            const NamedRegion& region = regions[i];
            return plan_fetch_for_batch(handle, region.name, region.start, region.end);
        },
        region_failure, buffers);
}

Result<BatchResult> fetch_many_same_chr_into(const IndexHandle& handle, std::string_view name,
                                             const std::vector<Span>& regions, ResultBuffers& buffers) {
    if (regions.empty()) return BatchResult{};
    // One look-up for the whole batch.
    const IndexEntry* record = handle.lookup(name);
    if (record == nullptr) return sequence_not_found(name);
    if (regions.size() < kParallelThreshold) {
        return fetch_sequentially(handle, regions.size(), [&](std::size_t i) {
            return plan_fetch(handle, name, *record, regions[i].start, regions[i].end);
        }, buffers);
    }
    return fetch_in_parallel(
        handle, regions.size(),
        [&](std::size_t i) { return plan_fetch_for_batch(handle, name, *record, regions[i].start, regions[i].end); },
        [name](std::size_t position, const Error& error) {
            return "Error fetching region " + std::to_string(position) + " from " + std::string(name) + ": " +
                   error.display_text();
        },
        buffers);
}

Result<Values> fetch_many(const IndexHandle& handle, const std::vector<NamedRegion>& regions) {
    OwnedBuffers buffers(regions.size(), kOwnedBufferMinSize);
    return buffers.values_of(fetch_many_into(handle, regions, buffers));
}

Result<Values> fetch_many_same_chr(const IndexHandle& handle, std::string_view name,
                                   const std::vector<Span>& regions) {
    OwnedBuffers buffers(regions.size(), kOwnedBufferMinSize);
    return buffers.values_of(fetch_many_same_chr_into(handle, name, regions, buffers));
}

}  // namespace sekvo
