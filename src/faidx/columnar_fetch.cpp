#include "faidx/columnar_fetch.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "faidx/block_windows.hpp"
#include "faidx/retrieval.hpp"
#include "faidx/worker_pool.hpp"
#include "sequence/sequence_value.hpp"

namespace sekvo {

namespace {

// The failure with the lowest position among those the chunks met.
class FirstFailure {
public:
    void offer(std::size_t position, Error&& error) {
        std::lock_guard lock(mutex_);
        if (error_ && position >= position_) return;
        position_ = position;
        error_ = std::move(error);
    }
    bool failed() const { return error_.has_value(); }
    Error describe(std::size_t base) const {
        return Error{ErrorKind::BatchFailed,
                     "Error fetching region " + std::to_string(base + position_) + ": " + error_->display_text()};
    }

private:
    std::mutex mutex_;
    std::size_t position_ = 0;
    std::optional<Error> error_;
};

// Runs small batches on the calling thread: waking the pool costs more.
template <class F>
void for_each_chunk(std::size_t count, F&& work) {
    if (count < 256) {
        work(std::size_t{0}, count);
        return;
    }
    parallel_for_each_chunk(count, ChunkWork(work));
}

bool all_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A region whose result is not the size planned for it (a file shorter
// than its index says, padding, no mapping): its residues, kept aside.
using Irregular = std::vector<std::pair<std::size_t, std::string>>;

// Rebuilds the buffer with the irregular regions at their true size.
void settle_irregular(ColumnarBatch& batch, Irregular& irregular) {
    std::sort(irregular.begin(), irregular.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    const std::size_t n = batch.size();
    std::vector<std::int64_t> offsets(n + 1, 0);
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool odd = k < irregular.size() && irregular[k].first == i;
        const std::size_t size = odd ? irregular[k++].second.size() : batch.residues_of(i).size();
        offsets[i + 1] = offsets[i] + static_cast<std::int64_t>(size);
    }
    ByteBuffer residues(static_cast<std::size_t>(offsets[n]));
    k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool odd = k < irregular.size() && irregular[k].first == i;
        const std::string_view text = odd ? std::string_view(irregular[k++].second) : batch.residues_of(i);
        if (!text.empty()) std::memcpy(residues.data() + offsets[i], text.data(), text.size());
    }
    batch.residues = std::move(residues);
    batch.offsets = std::move(offsets);
}

}  // namespace

std::optional<std::size_t> ColumnarBatch::common_length() const {
    if (size() == 0) return 0;
    const std::int64_t length = offsets[1] - offsets[0];
    for (std::size_t i = 1; i < size(); ++i)
        if (offsets[i + 1] - offsets[i] != length) return std::nullopt;
    return static_cast<std::size_t>(length);
}

Result<ColumnarBatch> fetch_columns(const IndexHandle& handle, const RegionColumns& regions, std::size_t begin,
                                    std::size_t end, Orientation orientation, ByteBuffer* reuse) {
    end = std::min(end, regions.size());
    begin = std::min(begin, end);
    const std::size_t n = end - begin;

    // Each record name is looked up once for the whole batch.
    const std::vector<const IndexEntry*> records = handle.lookup_all(regions.record_names());

    ColumnarBatch batch;
    batch.offsets.assign(n + 1, 0);
    batch.value_starts.assign(n, 0);
    batch.value_ends.assign(n, 0);
    batch.value_flags.assign(n, 0);
    // The part of each plan the copy needs, written for every region by the
    // planning threads (or the batch fails there), never zeroed first by
    // the calling one. A region's name is needed again only for the rare
    // region that cannot be copied straight into its slot.
    const std::unique_ptr<ResidueSpan[]> plans = std::make_unique_for_overwrite<ResidueSpan[]>(n);
    FirstFailure failure;
    // Slots are filled straight from the mapping or from a compressed file's blocks.
    const bool mapped = handle.has_mapping() || handle.bgzf() != nullptr;

    // Planning: bounds, coordinates and the size of every slot. The sizes
    // go into offsets[i + 1] until the prefix sum turns them into offsets.
    auto plan_chunk = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            const std::size_t g = begin + i;
            const IndexEntry* record = records[regions.record(g)];
            Result<RegionPlan> planned =
                record == nullptr
                    ? plan_fetch_for_batch(handle, regions.name(g), regions.start(g), regions.end(g))
                    : plan_fetch_for_batch(handle, regions.name(g), *record, regions.start(g), regions.end(g));
            if (!planned) {
                failure.offer(i, std::move(planned.error()));
                continue;
            }
            const RegionPlan& plan = planned.value();
            plans[i] = plan;
            if (plan.value.start && plan.value.end) {
                batch.value_starts[i] = *plan.value.start;
                batch.value_ends[i] = *plan.value.end;
                batch.value_flags[i] = ColumnarBatch::kHasCoordinates;
            }
            batch.offsets[i + 1] = mapped ? static_cast<std::int64_t>(buffer_size(handle, plan)) : 0;
        }
    };
    for_each_chunk(n, plan_chunk);
    if (failure.failed()) return failure.describe(begin);

    for (std::size_t i = 0; i < n; ++i) {
        if (__builtin_add_overflow(batch.offsets[i + 1], batch.offsets[i], &batch.offsets[i + 1]))
            throw std::bad_alloc();
    }
    if (reuse != nullptr && reuse->size() >= static_cast<std::size_t>(batch.offsets[n])) batch.residues = std::move(*reuse);
    else batch.residues = ByteBuffer(static_cast<std::size_t>(batch.offsets[n]));

    auto reversed = [&](std::size_t i) {
        return orientation == Orientation::reverse_all ||
               (orientation == Orientation::by_strand && regions.strand(begin + i) == Strand::reverse);
    };

    // Copying: each worker writes its regions straight into their slots,
    // the first bytes of a region asked for a few regions ahead.
    std::atomic<bool> ascii{true};
    Irregular irregular;
    std::mutex irregular_mutex;
    auto copy_chunk = [&](std::size_t from, std::size_t to) {
        constexpr std::size_t kAhead = 8;
        bool chunk_ascii = true;
        Irregular chunk_irregular;
        for (std::size_t i = from; i < std::min(to, from + kAhead); ++i) prefetch(handle, plans[i]);
        for (std::size_t i = from; i < to; ++i) {
            if (i + kAhead < to) prefetch(handle, plans[i + kAhead]);
            if (plans[i].entry == nullptr) continue;
            char* slot = batch.residues.data() + batch.offsets[i];
            const std::size_t size = static_cast<std::size_t>(batch.offsets[i + 1] - batch.offsets[i]);
            bool done = false;
            if (mapped && size == plans[i].count) {
                Result<bool> filled = fill_buffer(handle, plans[i], slot);
                if (!filled) {
                    failure.offer(i, std::move(filled.error()));
                    continue;
                }
                done = filled.value();
            }
            if (!done) {
                // Short, padded or not ASCII: the single-region way.
                const std::size_t g = begin + i;
                RegionPlan plan(plans[i], SequenceValue{});
                plan.value.name = std::string(regions.name(g));
                Result<SequenceValue> value = complete(handle, std::move(plan));
                if (!value) {
                    failure.offer(i, std::move(value.error()));
                    continue;
                }
                std::string_view text = value.value().seq;
                chunk_ascii = chunk_ascii && all_ascii(text);
                if (text.size() != size) {
                    std::string own(text);
                    if (reversed(i)) reverse_complement_text(own.data(), own.size());
                    chunk_irregular.emplace_back(i, std::move(own));
                    continue;
                }
                std::memcpy(slot, text.data(), size);
            }
            if (reversed(i)) reverse_complement_text(slot, size);
        }
        if (!chunk_ascii) ascii.store(false, std::memory_order_relaxed);
        if (!chunk_irregular.empty()) {
            std::lock_guard lock(irregular_mutex);
            for (auto& item : chunk_irregular) irregular.push_back(std::move(item));
        }
    };
    if (handle.bgzf() != nullptr) {
        // A compressed file: each block the regions need inflated once, a
        // window of blocks at a time.
        std::vector<const ResidueSpan*> pointers(n);
        for (std::size_t i = 0; i < n; ++i) pointers[i] = &plans[i];
        copy_in_block_windows(handle, pointers, [&](std::size_t i) { copy_chunk(i, i + 1); });
    } else {
        for_each_chunk(n, copy_chunk);
    }
    if (failure.failed()) return failure.describe(begin);

    batch.ascii = ascii.load();
    if (!irregular.empty()) settle_irregular(batch, irregular);
    for (std::size_t i = 0; i < n; ++i) {
        if (!reversed(i)) continue;
        batch.value_flags[i] |= ColumnarBatch::kComplement;
        std::swap(batch.value_starts[i], batch.value_ends[i]);
    }
    return batch;
}

}  // namespace sekvo
