#include "faidx/passed_pages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "faidx/retrieval.hpp"

namespace sekvo {

void PassedPages::posted(const IndexHandle& handle, const RegionColumns& regions,
                         const std::vector<const IndexEntry*>& records) {
    if (handle.mapping_data() == nullptr) return;
    Span span{std::numeric_limits<std::uint64_t>::max(), 0};
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const IndexEntry* entry = records[regions.record(i)];
        const std::uint64_t start = regions.start(i);
        const std::uint64_t end = regions.end(i);
        // What the fetch refuses or clamps is left out: it maps nothing here.
        if (entry == nullptr || entry->lenc == 0 || start == 0 || end < start || end > entry->rlen) continue;
        span.low = std::min(span.low, residue_file_offset(*entry, start - 1));
        span.high = std::max(span.high, residue_file_offset(*entry, end - 1) + 1);
    }
    if (span.high == 0) span.low = span.high = spans_.empty() ? 0 : spans_.back().high;  // reads nothing
    spans_.push_back(span);
}

void PassedPages::finished(const IndexHandle& handle, std::size_t unfinished) {
    if (handle.mapping_data() == nullptr || spans_.size() <= unfinished) return;
    std::uint64_t still_read = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t k = spans_.size() - unfinished; k < spans_.size(); ++k)
        still_read = std::min(still_read, spans_[k].low);
    static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    while (spans_.size() > unfinished) {
        const Span done = spans_.front();
        spans_.pop_front();
        // Whole pages from the window's first byte to the page the unfinished
        // windows begin in (excluded).
        const std::uint64_t from = done.low / page * page;
        const std::uint64_t to = std::min(still_read, handle.mapping_size()) / page * page;
        if (from < to)
            ::madvise(const_cast<unsigned char*>(handle.mapping_data()) + from, to - from, MADV_DONTNEED);
    }
}

}  // namespace sekvo
