// Copying many planned regions of a BGZF file: each needed block inflated
// once, on the worker pool, a bounded window of blocks at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "faidx/index_handle.hpp"
#include "faidx/retrieval.hpp"

namespace sekvo {

// Calls copy(k) for every k in [0, plans.size()) on the worker pool, each
// with the blocks plan k reads already inflated: plans are taken in file
// order, in windows of at most BgzfSource::kWindowBlocks distinct blocks,
// and a window's regions are copied (through fill_buffer or complete)
// once its blocks are in. A region larger than a window is copied alone
// on the calling thread, its blocks inflated in parallel as it goes. Null
// plans and plans without residues are copied too. For a plain file the
// calls simply run on the pool. copy(k) must be safe to call from any
// thread; the plans are only read before the first call.
void copy_in_block_windows(const IndexHandle& handle, const std::vector<const ResidueSpan*>& plans,
                           const std::function<void(std::size_t)>& copy);

}  // namespace sekvo
