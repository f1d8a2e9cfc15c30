#include "common/huge_pages.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace sekvo {

void advise_huge_pages(const void* data, std::size_t bytes, std::size_t min_huge_pages) noexcept {
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    if (bytes / kHugePage < min_huge_pages) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    // Advice only: where it is refused, the memory works as before.
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace sekvo
