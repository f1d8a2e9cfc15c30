#include "faidx/block_windows.hpp"

#include <algorithm>
#include <numeric>

#include "faidx/bgzf_source.hpp"
#include "faidx/worker_pool.hpp"

namespace sekvo {

namespace {

constexpr std::size_t kNoBlocks = static_cast<std::size_t>(-1);

// The first and last block a plan reads; first is kNoBlocks for a plan
// that reads none.
struct BlockSpan {
    std::size_t first = kNoBlocks;
    std::size_t last = 0;
};

}  // namespace

void copy_in_block_windows(const IndexHandle& handle, const std::vector<const ResidueSpan*>& plans,
                           const std::function<void(std::size_t)>& copy) {
    const BgzfSource* source = handle.bgzf();
    if (source == nullptr) {
        parallel_for_each_index(plans.size(), copy);
        return;
    }
    // The spans are found on the pool, and the plans put in file order by
    // counting them per first block: for a large batch both would
    // otherwise hold the calling thread while the pool has nothing to do.
    const BlockTable& table = source->table();
    std::vector<BlockSpan> spans(plans.size());
    parallel_for_each_index(plans.size(), [&](std::size_t k) {
        const ResidueSpan* plan = plans[k];
        const ByteRange range = plan != nullptr && plan->entry != nullptr
                                    ? region_byte_range(*plan->entry, plan->first, plan->count, source->size())
                                    : ByteRange{};
        if (range.begin != range.end) spans[k] = {table.block_of(range.begin), table.block_of(range.end - 1)};
    });
    std::vector<std::size_t> starts(table.blocks() + 1, 0);
    std::vector<std::size_t> without_blocks;
    for (std::size_t k = 0; k < spans.size(); ++k) {
        if (spans[k].first == kNoBlocks) without_blocks.push_back(k);
        else ++starts[spans[k].first + 1];
    }
    std::partial_sum(starts.begin(), starts.end(), starts.begin());
    std::vector<std::size_t> in_file_order(starts.back());
    for (std::size_t k = 0; k < spans.size(); ++k)
        if (spans[k].first != kNoBlocks) in_file_order[starts[spans[k].first]++] = k;
    parallel_for_each_index(without_blocks.size(), [&](std::size_t i) { copy(without_blocks[i]); });

    std::vector<std::size_t> large;
    std::vector<std::size_t> regions;
    std::vector<std::size_t> blocks;
    std::size_t next_block = 0;  // blocks below this are already in the window
    BlockWindow window;
    auto copy_window = [&] {
        if (regions.empty()) return;
        window.fill(*source, std::move(blocks));
        auto copy_chunk = [&](std::size_t begin, std::size_t end) {
            WindowScope scope(*source, window);
            for (std::size_t i = begin; i < end; ++i) copy(regions[i]);
        };
        parallel_for_each_chunk(regions.size(), ChunkWork(copy_chunk));
        regions.clear();
        blocks.clear();
        next_block = 0;
    };
    for (std::size_t k : in_file_order) {
        const BlockSpan& span = spans[k];
        if (span.last - span.first + 1 > BgzfSource::kWindowBlocks) {
            large.push_back(k);
            continue;
        }
        auto blocks_added = [&] {
            const std::size_t from = std::max(span.first, next_block);
            return span.last >= from ? span.last - from + 1 : 0;
        };
        if (blocks.size() + blocks_added() > BgzfSource::kWindowBlocks) copy_window();
        for (std::size_t block = std::max(span.first, next_block); block <= span.last; ++block) blocks.push_back(block);
        next_block = std::max(next_block, span.last + 1);
        regions.push_back(k);
    }
    copy_window();
    for (std::size_t k : large) copy(k);
}

}  // namespace sekvo
