#include "faidx/block_windows.hpp"

#include <algorithm>

#include "faidx/bgzf_source.hpp"
#include "faidx/worker_pool.hpp"

namespace sekvo {

namespace {

struct BlockSpan {
    std::size_t plan;
    std::size_t first;
    std::size_t last;
};

}  // namespace

void copy_in_block_windows(const IndexHandle& handle, const std::vector<const RegionPlan*>& plans,
                           const std::function<void(std::size_t)>& copy) {
    const BgzfSource* source = handle.bgzf();
    if (source == nullptr) {
        parallel_for_each_index(plans.size(), copy);
        return;
    }
    const BlockTable& table = source->table();
    std::vector<BlockSpan> spans;
    std::vector<std::size_t> without_blocks;
    for (std::size_t k = 0; k < plans.size(); ++k) {
        const RegionPlan* plan = plans[k];
        const ByteRange range = plan != nullptr && plan->entry != nullptr
                                    ? region_byte_range(*plan->entry, plan->first, plan->count, source->size())
                                    : ByteRange{};
        if (range.begin == range.end)
            without_blocks.push_back(k);
        else
            spans.push_back({k, table.block_of(range.begin), table.block_of(range.end - 1)});
    }
    std::stable_sort(spans.begin(), spans.end(), [](const BlockSpan& a, const BlockSpan& b) { return a.first < b.first; });
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
    for (const BlockSpan& span : spans) {
        if (span.last - span.first + 1 > BgzfSource::kWindowBlocks) {
            large.push_back(span.plan);
            continue;
        }
        auto blocks_added = [&] {
            const std::size_t from = std::max(span.first, next_block);
            return span.last >= from ? span.last - from + 1 : 0;
        };
        if (blocks.size() + blocks_added() > BgzfSource::kWindowBlocks) copy_window();
        for (std::size_t block = std::max(span.first, next_block); block <= span.last; ++block) blocks.push_back(block);
        next_block = std::max(next_block, span.last + 1);
        regions.push_back(span.plan);
    }
    copy_window();
    for (std::size_t k : large) copy(k);
}

}  // namespace sekvo
