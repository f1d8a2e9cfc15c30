// Batch retrieval. Short lists go region by region through the single
// fetch (warnings, IndexError-style failures); long lists are fetched on the
// worker pool with the silent per-region fetch, into a pre-sized output.
#include "faidx/batch.hpp"

#include <atomic>
#include <cstddef>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "faidx/retrieval.hpp"
#include "faidx/worker_pool.hpp"

namespace sekvo {
namespace {

using Values = std::vector<SequenceValue>;

// Stops at the first failing region and returns its error unchanged.
template <class FetchOne>
Result<Values> fetch_sequentially(std::size_t count, FetchOne fetch_one) {
    Values values;
    values.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        Result<SequenceValue> result = fetch_one(i);
        if (!result.ok()) return std::move(result.error());
        values.push_back(result.take());
    }
    return values;
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

// Every region is fetched, also after another has failed; the failure
// reported is the first in input order, whichever thread met it first.
template <class FetchOne, class Describe>
Result<Values> fetch_in_parallel(std::size_t count, FetchOne fetch_one, Describe describe) {
    Values values(count);
    FirstFailure first_failure;
    auto run_chunk = [&](std::size_t begin, std::size_t end) {
        std::optional<std::pair<std::size_t, Error>> chunk_failure;
        for (std::size_t i = begin; i < end; ++i) {
            Result<SequenceValue> result = fetch_one(i);
            if (result.ok()) {
                values[i] = result.take();
            } else if (!chunk_failure) {
                chunk_failure.emplace(i, std::move(result.error()));
            }
        }
        if (chunk_failure) first_failure.offer(chunk_failure->first, std::move(chunk_failure->second));
    };
    parallel_for_each_chunk(count, ChunkWork(run_chunk));

    if (first_failure.failed()) {
        return Error{ErrorKind::BatchFailed,
                     describe(first_failure.position(), first_failure.error())};
    }
    return values;
}

}  // namespace

Result<Values> fetch_many(const IndexHandle& handle, const std::vector<NamedRegion>& regions) {
    if (regions.empty()) return Values{};
    if (regions.size() < kParallelThreshold) {
        return fetch_sequentially(regions.size(), [&](std::size_t i) {
            const NamedRegion& region = regions[i];
            return fetch(handle, region.name, region.start, region.end);
        });
    }
    return fetch_in_parallel(
        regions.size(),
        [&](std::size_t i) {
            const NamedRegion& region = regions[i];
            return fetch_for_batch(handle, region.name, region.start, region.end);
        },
        [](std::size_t position, const Error& error) {
            return "Error fetching region " + std::to_string(position) + ": " +
                   error.display_text();
        });
}

Result<Values> fetch_many_same_chr(const IndexHandle& handle, std::string_view name,
                                   const std::vector<Span>& regions) {
    if (regions.empty()) return Values{};
    if (!handle.contains(name)) {
        return Error{ErrorKind::Fetch, "Sequence '" + std::string(name) + "' not found"};
    }
    if (regions.size() < kParallelThreshold) {
        return fetch_sequentially(regions.size(), [&](std::size_t i) {
            return fetch(handle, name, regions[i].start, regions[i].end);
        });
    }
    return fetch_in_parallel(
        regions.size(),
        [&](std::size_t i) {
            return fetch_for_batch(handle, name, regions[i].start, regions[i].end);
        },
        [name](std::size_t position, const Error& error) {
            return "Error fetching region " + std::to_string(position) + " from " +
                   std::string(name) + ": " + error.display_text();
        });
}

}  // namespace sekvo
