// The pages of a mapped FASTA file that windows of regions read in file
// order have moved past. Fetching BED intervals sorted as the file is maps
// every page once and never again; dropping the pages behind the windows
// as they go, on the thread that reads the BED lines (idle while the
// windows are fetched), spares the process the unmapping it otherwise does
// all at once at its end: 35 ms for a 1 GB file, a quarter of a million
// page table entries. Windows out of file order release nothing.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "faidx/index_handle.hpp"
#include "faidx/region_columns.hpp"

namespace sekvo {

class PassedPages {
public:
    // A window of regions handed on to be read (plain mapped files only);
    // `entries`: the index entry of each of regions.record_names().
    void posted(const IndexHandle& handle, const RegionColumns& regions,
                const std::vector<const IndexEntry*>& entries);
    // The oldest windows posted are read: all but the last `unfinished`.
    // Their pages below the first byte the unfinished ones read are dropped
    // from the page tables (they stay in the page cache: a later read maps
    // them again).
    void finished(const IndexHandle& handle, std::size_t unfinished);

private:
    struct Span {
        std::uint64_t low;   // bytes the window reads: [low, high)
        std::uint64_t high;
    };
    std::deque<Span> spans_;
};

}  // namespace sekvo
