// Memory for the many small results of a batch: laid out one after another
// in blocks of 2 MB, each its own mapping, instead of an allocation and a
// free per result. Each result holds a reference to its block, and a block
// is unmapped when its last result is gone: memory comes back block by
// block, and a result kept alone pins one block, never more.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

namespace sekvo {

class ResultBlocks {
public:
    static constexpr std::size_t kBlockSize = std::size_t{2} << 20;
    // The chunks of a batch take space in slabs, so that they rarely meet
    // on the lock and each leaves at most one slab's tail unused.
    static constexpr std::size_t kSlabSize = std::size_t{64} << 10;
    // Results up to this size are laid out in blocks; larger ones get
    // memory of their own.
    static constexpr std::size_t kMaxResult = std::size_t{16} << 10;

    struct Block;

    // A run of free bytes in a block, used by one thread. The results carved
    // from it take their references when the slab is closed: results must
    // not be released before then.
    class Slab {
    public:
        Slab() = default;
        Slab(const Slab&) = delete;
        Slab& operator=(const Slab&) = delete;
        ~Slab() { close(); }

        // `size` bytes (at most kMaxResult) and the owner to lend them with,
        // or null when no block can be had (the caller then allocates).
        char* carve(ResultBlocks& blocks, std::size_t size, Block*& owner);
        // Gives back the space of the last carve, which was not used.
        void undo(const char* carved) noexcept;
        // Hands the references of the results carved so far to them.
        void close() noexcept;

    private:
        Block* block_ = nullptr;
        char* last_ = nullptr;
        char* next_ = nullptr;
        char* end_ = nullptr;
        std::size_t carved_ = 0;
    };

    ResultBlocks() = default;
    ResultBlocks(const ResultBlocks&) = delete;
    ResultBlocks& operator=(const ResultBlocks&) = delete;
    ~ResultBlocks();

    // The release function of Residues::lend for memory carved from a block.
    static void release(void* block) noexcept;
    // Blocks mapped and not yet released, in this process (for tests).
    static std::size_t live_blocks() noexcept;

private:
    // [begin, end) of free space for a slab, with a reference on its block
    // taken; false when no block can be mapped.
    bool take_slab(Block*& block, char*& begin, char*& end);

    std::mutex mutex_;
    Block* current_ = nullptr;  // the arena's own reference
    char* free_ = nullptr;
};

}  // namespace sekvo
