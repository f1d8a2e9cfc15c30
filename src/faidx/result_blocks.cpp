#include "faidx/result_blocks.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <new>

namespace sekvo {

struct ResultBlocks::Block {
    std::atomic<std::size_t> references{1};
};

namespace {

std::atomic<std::size_t> g_live_blocks{0};

// Space for the block header, keeping results 64-byte aligned.
constexpr std::size_t kHeaderSize = 64;
static_assert(sizeof(ResultBlocks::Block) <= kHeaderSize);

// A block of its own mapping, on 4 kB pages. Huge pages were tried and
// cost more: a virtual machine that hands freed memory back to its host
// charges 3 to 5 times as much per byte to fault in a fresh huge page as
// 4 kB pages, and a fresh process's batch pays that for every block.
void* map_block() {
    void* block = ::mmap(nullptr, ResultBlocks::kBlockSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                         -1, 0);
    if (block == MAP_FAILED) return nullptr;
    g_live_blocks.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void drop(ResultBlocks::Block* block) noexcept {
    if (block != nullptr && block->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block->~Block();
        ::munmap(block, ResultBlocks::kBlockSize);
        g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
    }
}

}  // namespace

ResultBlocks::~ResultBlocks() { drop(current_); }

void ResultBlocks::release(void* block) noexcept { drop(static_cast<Block*>(block)); }

std::size_t ResultBlocks::live_blocks() noexcept { return g_live_blocks.load(std::memory_order_relaxed); }

bool ResultBlocks::take_slab(Block*& block, char*& begin, char*& end) {
    std::lock_guard lock(mutex_);
    char* block_end = current_ != nullptr ? reinterpret_cast<char*>(current_) + kBlockSize : nullptr;
    if (current_ == nullptr || block_end - free_ < static_cast<std::ptrdiff_t>(kMaxResult)) {
        void* fresh = map_block();
        if (fresh == nullptr) return false;
        drop(current_);
        current_ = new (fresh) Block;
        free_ = static_cast<char*>(fresh) + kHeaderSize;
        block_end = static_cast<char*>(fresh) + kBlockSize;
    }
    begin = free_;
    end = block_end - free_ < static_cast<std::ptrdiff_t>(2 * kSlabSize) ? block_end : free_ + kSlabSize;
    free_ = end;
    current_->references.fetch_add(1, std::memory_order_relaxed);
    block = current_;
    return true;
}

char* ResultBlocks::Slab::carve(ResultBlocks& blocks, std::size_t size, Block*& owner) {
    if (size > kMaxResult) return nullptr;
    if (block_ == nullptr || static_cast<std::size_t>(end_ - next_) < size) {
        close();
        if (!blocks.take_slab(block_, next_, end_)) {
            block_ = nullptr;
            return nullptr;
        }
    }
    last_ = next_;
    next_ += std::min((size + 7) & ~std::size_t{7}, static_cast<std::size_t>(end_ - next_));
    ++carved_;
    owner = block_;
    return last_;
}

void ResultBlocks::Slab::undo(const char* carved) noexcept {
    if (carved == nullptr || carved != last_) return;
    next_ = last_;
    last_ = nullptr;
    --carved_;
}

void ResultBlocks::Slab::close() noexcept {
    if (block_ == nullptr) return;
    // The slab's own reference becomes the first of its results'.
    if (carved_ > 1) block_->references.fetch_add(carved_ - 1, std::memory_order_relaxed);
    if (carved_ == 0) drop(block_);
    block_ = nullptr;
    last_ = next_ = end_ = nullptr;
    carved_ = 0;
}

}  // namespace sekvo
