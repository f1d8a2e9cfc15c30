// A BGZF-compressed FASTA file read at random: the block table, a small
// cache of recently inflated blocks for single fetches, and windows of
// blocks inflated ahead on the worker pool for batches and long regions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/posix_io.hpp"
#include "faidx/block_table.hpp"
#include "faidx/uncompressed_source.hpp"

namespace sekvo {

struct InflatedBlock {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t size = 0;
};
using SharedBlock = std::shared_ptr<const InflatedBlock>;

class BgzfSource;

// Blocks inflated together for one stretch of a batch.
class BlockWindow {
public:
    // Inflates `blocks` (increasing, distinct) on the worker pool. A block
    // that fails is left out; reading it later reports the failure.
    void fill(const BgzfSource& source, std::vector<std::size_t> blocks);
    // The inflated bytes of `block`, or null when the window lacks it.
    const unsigned char* find(std::size_t block, std::size_t& size) const;

private:
    static constexpr std::size_t kSlot = 65536;
    std::vector<std::size_t> blocks_;
    std::vector<std::size_t> sizes_;
    std::unique_ptr<unsigned char[]> bytes_;
    std::size_t capacity_ = 0;  // blocks bytes_ can hold
};

// While alive, reads of `source` on this thread look in `window` first.
class WindowScope {
public:
    WindowScope(const BgzfSource& source, const BlockWindow& window);
    ~WindowScope();
    WindowScope(const WindowScope&) = delete;
    WindowScope& operator=(const WindowScope&) = delete;

private:
    const BgzfSource* saved_source_;
    const BlockWindow* saved_window_;
};

class BgzfSource final : public UncompressedSource {
public:
    // Takes the open file `fd`; checks that the file ends with the
    // end-of-file block.
    static Result<std::unique_ptr<BgzfSource>> open(FileDescriptor fd, std::string path);
    BgzfSource(const BgzfSource&) = delete;
    BgzfSource& operator=(const BgzfSource&) = delete;

    // The block table from the block headers alone (nothing inflated).
    Result<BlockTable> read_block_headers() const;
    // Uses `table` from now on. A table parsed from a ".gzi" file gets its
    // end filled in from the file's last data block.
    std::optional<Error> use_table(BlockTable table, bool from_headers);
    const BlockTable& table() const { return table_; }

    std::uint64_t size() const override { return table_.uncompressed_end; }
    std::optional<Error> read_pieces(std::uint64_t begin, std::uint64_t end,
                                     const PieceVisitor& visit) const override;
    std::optional<Error> read_windows(std::uint64_t begin, std::uint64_t end,
                                      const WindowVisitor& visit) const override;
    bool visit_in_parallel(std::uint64_t begin, std::uint64_t end, const OffsetPieceVisitor& visit) const override;

    // Inflates block `block` of the table, checking it against the table.
    Result<SharedBlock> inflate(std::size_t block) const;
    // The same into `out` (kBgzfMaxInflatedSize bytes): the size inflated.
    Result<std::size_t> inflate_into(std::size_t block, unsigned char* out) const;

    const std::string& path() const { return path_; }
    std::uint64_t compressed_size() const { return file_size_; }

    // Blocks kept for single fetches, and the most inflated text a window
    // of a batch or of a long region holds at once.
    static constexpr std::size_t kCachedBlocks = 32;
    static constexpr std::size_t kWindowBlocks = 512;  // 32 MiB

private:
    BgzfSource(FileDescriptor fd, std::string path, std::uint64_t size)
        : fd_(std::move(fd)), path_(std::move(path)), file_size_(size) {}
    Error damaged(std::uint64_t offset, const std::string& what) const;
    SharedBlock cached(std::size_t block) const;
    void remember(std::size_t block, SharedBlock data) const;
    Result<const unsigned char*> block_bytes(std::size_t block, const BlockWindow* window, SharedBlock& held,
                                             std::size_t& size) const;

    FileDescriptor fd_;
    std::string path_;
    std::uint64_t file_size_;
    BlockTable table_;

    struct CacheSlot {
        std::size_t block = static_cast<std::size_t>(-1);
        SharedBlock data;
        std::uint64_t last_use = 0;
    };
    mutable std::mutex cache_mutex_;
    mutable std::array<CacheSlot, kCachedBlocks> cache_;
    mutable std::uint64_t clock_ = 0;
};

}  // namespace sekvo
