#include "faidx/bgzf_source.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "faidx/bgzf_block.hpp"
#include "faidx/worker_pool.hpp"

namespace sekvo {

namespace {

// A region spanning more blocks than this, read with no window in place,
// is inflated in parallel instead of block by block through the cache.
constexpr std::size_t kParallelBlocks = 8;
// The most bytes read for one block: the block and the empty blocks that
// may follow it before the next one holding data.
constexpr std::uint64_t kMostGap = 1 << 20;
// Block headers are read in pieces of this size.
constexpr std::size_t kHeaderReadSize = 4 << 20;

struct ActiveWindow {
    const BgzfSource* source = nullptr;
    const BlockWindow* window = nullptr;
};
thread_local ActiveWindow active_window;

std::string at(std::uint64_t offset) { return " at offset " + std::to_string(offset); }

}  // namespace

void BlockWindow::fill(const BgzfSource& source, std::vector<std::size_t> blocks) {
    blocks_ = std::move(blocks);
    sizes_.assign(blocks_.size(), static_cast<std::size_t>(-1));
    // Kept from window to window: fresh memory costs a page fault per page.
    if (capacity_ < blocks_.size()) {
        bytes_.reset(new unsigned char[blocks_.size() * kSlot]);
        capacity_ = blocks_.size();
    }
    parallel_for_each_index(blocks_.size(), [&](std::size_t i) {
        Result<std::size_t> inflated = source.inflate_into(blocks_[i], bytes_.get() + i * kSlot);
        if (inflated) sizes_[i] = inflated.value();
    });
}

const unsigned char* BlockWindow::find(std::size_t block, std::size_t& size) const {
    auto it = std::lower_bound(blocks_.begin(), blocks_.end(), block);
    if (it == blocks_.end() || *it != block) return nullptr;
    const auto i = static_cast<std::size_t>(it - blocks_.begin());
    if (sizes_[i] == static_cast<std::size_t>(-1)) return nullptr;
    size = sizes_[i];
    return bytes_.get() + i * kSlot;
}

WindowScope::WindowScope(const BgzfSource& source, const BlockWindow& window)
    : saved_source_(active_window.source), saved_window_(active_window.window) {
    active_window = {&source, &window};
}

WindowScope::~WindowScope() { active_window = {saved_source_, saved_window_}; }

Result<std::unique_ptr<BgzfSource>> BgzfSource::open(FileDescriptor fd, std::string path) {
    struct stat info;
    if (::fstat(fd.get(), &info) != 0) return Error::io_from_errno(errno);
    const auto size = static_cast<std::uint64_t>(std::max<off_t>(info.st_size, 0));
    std::unique_ptr<BgzfSource> source(new BgzfSource(std::move(fd), std::move(path), size));
    unsigned char tail[kBgzfEofSize];
    if (size < kBgzfEofSize ||
        pread_full(source->fd_.get(), tail, kBgzfEofSize, static_cast<off_t>(size - kBgzfEofSize)) != kBgzfEofSize ||
        std::memcmp(tail, kBgzfEofBlock, kBgzfEofSize) != 0)
        return source->damaged(size, "the BGZF end-of-file block is missing (the file is truncated)");
    return source;
}

Error BgzfSource::damaged(std::uint64_t offset, const std::string& what) const {
    return Error::io_custom("'" + path_ + "': " + what + at(offset));
}

Result<BlockTable> BgzfSource::read_block_headers() const {
    BlockTable table;
    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kHeaderReadSize, file_size_)));
    std::uint64_t buffer_start = 0;
    std::size_t buffered = 0;
    std::uint64_t inflated_so_far = 0;
    for (std::uint64_t offset = 0; offset < file_size_;) {
        // Each block must lie whole in the buffer; refill it from the block on.
        auto available = [&] { return buffer_start + buffered - offset; };
        if (offset < buffer_start || offset + kBgzfHeaderSize > buffer_start + buffered ||
            offset + bgzf_block_size(&buffer[offset - buffer_start], available()) > buffer_start + buffered) {
            ssize_t got = pread_full(fd_.get(), buffer.data(), buffer.size(), offset);
            if (got < 0) return Error::io_from_errno(errno);
            buffer_start = offset;
            buffered = static_cast<std::size_t>(got);
        }
        const unsigned char* header = &buffer[offset - buffer_start];
        const std::size_t block_size = bgzf_block_size(header, available());
        if (block_size == 0) {
            if (available() < kBgzfHeaderSize) return damaged(offset, "truncated BGZF block");
            return damaged(offset, "no BGZF block header");
        }
        if (block_size > available()) return damaged(offset, "truncated BGZF block");
        const std::uint32_t inflated = bgzf_recorded_size(header, block_size);
        if (inflated > kBgzfMaxInflatedSize) return damaged(offset, "BGZF block records an impossible size");
        if (inflated > 0 || offset == 0) {
            table.compressed.push_back(offset);
            table.uncompressed.push_back(inflated_so_far);
        }
        inflated_so_far += inflated;
        offset += block_size;
    }
    table.compressed_end = file_size_ - kBgzfEofSize;
    table.uncompressed_end = inflated_so_far;
    return table;
}

// A table from a ".gzi" file is checked against the block headers and
// sizes before it is used (two small reads per block, nothing inflated): a
// stale or foreign ".gzi" would otherwise place text at the wrong offsets.
std::optional<Error> BgzfSource::use_table(BlockTable table, bool from_headers) {
    if (!from_headers) {
        table.compressed_end = file_size_ - kBgzfEofSize;
        if (table.compressed.back() > table.compressed_end)
            return damaged(table.compressed.back(), "the block index (.gzi) does not match the file: no BGZF block");
        auto mismatch = [&](std::uint64_t offset) {
            return damaged(offset, "the block index (.gzi) does not match the file: no such block");
        };
        std::uint64_t inflated_so_far = 0;
        std::size_t entry = 0;
        for (std::uint64_t offset = 0; offset < table.compressed_end;) {
            const bool listed = entry < table.blocks() && table.compressed[entry] == offset;
            if (entry < table.blocks() && table.compressed[entry] < offset) return mismatch(table.compressed[entry]);
            unsigned char header[kBgzfHeaderSize];
            unsigned char footer[4];
            if (pread_full(fd_.get(), header, kBgzfHeaderSize, offset) != kBgzfHeaderSize) return damaged(offset, "truncated BGZF block");
            const std::size_t block_size = bgzf_block_size(header, kBgzfHeaderSize);
            if (block_size == 0) return mismatch(offset);
            if (pread_full(fd_.get(), footer, 4, offset + block_size - 4) != 4) return damaged(offset, "truncated BGZF block");
            const std::uint32_t inflated = footer[0] | (footer[1] << 8) | (footer[2] << 16) | (std::uint32_t{footer[3]} << 24);
            if (listed) {
                if (table.uncompressed[entry] != inflated_so_far) return mismatch(offset);
                ++entry;
            } else if (inflated != 0) {
                return damaged(offset, "the block index (.gzi) does not match the file: it lacks the block");
            }
            inflated_so_far += inflated;
            offset += block_size;
        }
        if (entry != table.blocks()) return mismatch(table.compressed[entry]);
        table.uncompressed_end = inflated_so_far;
    }
    table_ = std::move(table);
    return std::nullopt;
}

Result<std::size_t> BgzfSource::inflate_into(std::size_t block, unsigned char* out) const {
    // The table says where the next block starts, so the read is the block
    // (and any empty blocks after it) and no more.
    thread_local std::vector<unsigned char> buffer;
    const std::uint64_t offset = table_.compressed[block];
    const std::uint64_t limit = table_.compressed_limit(block);
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max<std::uint64_t>(limit, offset + kBgzfHeaderSize) - offset, kMostGap) );
    if (buffer.size() < want) buffer.resize(want);
    unsigned char* compressed = buffer.data();
    const ssize_t got = pread_full(fd_.get(), compressed, want, offset);
    if (got < 0) return Error::io_from_errno(errno);
    const auto available = static_cast<std::size_t>(got);
    const std::size_t block_size = bgzf_block_size(compressed, available);
    if (block_size == 0 && available >= kBgzfHeaderSize)
        return damaged(offset, "no BGZF block header (the block index does not match the file)");
    if (block_size == 0 || block_size > available) return damaged(offset, "truncated BGZF block");
    if (offset + block_size > limit)
        return damaged(offset, "BGZF block runs into the next one the block index names");
    // Between this block and the next one the index names, only empty
    // blocks: an index that skips a block would otherwise drop its text.
    for (std::size_t at = block_size; at < limit - offset;) {
        const std::size_t next = bgzf_block_size(compressed + at, available - at);
        if (next == 0 || next > available - at || bgzf_recorded_size(compressed + at, next) != 0)
            return damaged(offset + at, "the block index (.gzi) does not match the file: it lacks the block");
        at += next;
    }
    const Inflated inflated = inflate_bgzf_block(compressed, block_size, out);
    if (inflated.status != InflateStatus::Ok)
        return damaged(offset, std::string("BGZF block ") + inflate_problem(inflated.status));
    if (inflated.size != table_.inflated_size(block))
        return damaged(offset, "BGZF block holds " + std::to_string(inflated.size) +
                                   " bytes where the block index says " +
                                   std::to_string(table_.inflated_size(block)));
    return inflated.size;
}

Result<SharedBlock> BgzfSource::inflate(std::size_t block) const {
    auto inflated = std::make_shared<InflatedBlock>();
    inflated->bytes.reset(new unsigned char[kBgzfMaxInflatedSize]);
    Result<std::size_t> size = inflate_into(block, inflated->bytes.get());
    if (!size) return std::move(size.error());
    inflated->size = size.value();
    return SharedBlock(std::move(inflated));
}

SharedBlock BgzfSource::cached(std::size_t block) const {
    std::lock_guard lock(cache_mutex_);
    for (CacheSlot& slot : cache_) {
        if (slot.block == block) {
            slot.last_use = ++clock_;
            return slot.data;
        }
    }
    return nullptr;
}

void BgzfSource::remember(std::size_t block, SharedBlock data) const {
    std::lock_guard lock(cache_mutex_);
    CacheSlot* oldest = &cache_[0];
    for (CacheSlot& slot : cache_) {
        if (slot.block == block) return;  // another thread was quicker
        if (slot.last_use < oldest->last_use) oldest = &slot;
    }
    *oldest = CacheSlot{block, std::move(data), ++clock_};
}

// The bytes of `block`: from the batch's window when it holds them, else
// from the cache or freshly inflated (then kept in `held`).
Result<const unsigned char*> BgzfSource::block_bytes(std::size_t block, const BlockWindow* window, SharedBlock& held,
                                                     std::size_t& size) const {
    if (window != nullptr)
        if (const unsigned char* data = window->find(block, size)) return data;
    held = cached(block);
    if (!held) {
        Result<SharedBlock> inflated = inflate(block);
        if (!inflated) return std::move(inflated.error());
        held = inflated.take();
        remember(block, held);
    }
    size = held->size;
    return held->bytes.get();
}

std::optional<Error> BgzfSource::read_pieces(std::uint64_t begin, std::uint64_t end, const PieceVisitor& visit) const {
    end = std::min(end, size());
    if (begin >= end) return std::nullopt;
    const std::size_t first = table_.block_of(begin);
    const std::size_t last = table_.block_of(end - 1);
    const BlockWindow* window = active_window.source == this ? active_window.window : nullptr;
    if (window == nullptr && last - first + 1 > kParallelBlocks)
        return read_windows(begin, end, [&](const std::vector<Piece>& pieces) {
            for (const Piece& piece : pieces)
                if (!visit(piece.data, piece.size)) return false;
            return true;
        });
    for (std::size_t block = first; block <= last; ++block) {
        SharedBlock held;
        std::size_t size = 0;
        Result<const unsigned char*> data = block_bytes(block, window, held, size);
        if (!data) return std::move(data.error());
        const std::uint64_t start = table_.uncompressed[block];
        const std::size_t from = block == first ? static_cast<std::size_t>(begin - start) : 0;
        const std::size_t to = static_cast<std::size_t>(std::min<std::uint64_t>(size, end - start));
        if (from < to && !visit(data.value() + from, to - from)) break;
    }
    return std::nullopt;
}

// A window of blocks at a time is inflated on the pool, then handed out in
// order. Few blocks, or a batch's window in place: one window of the blocks
// as read_pieces finds them.
std::optional<Error> BgzfSource::read_windows(std::uint64_t begin, std::uint64_t end, const WindowVisitor& visit) const {
    end = std::min(end, size());
    if (begin >= end) return std::nullopt;
    const std::size_t first_block = table_.block_of(begin);
    const std::size_t last_block = table_.block_of(end - 1);
    auto piece_of = [&](std::size_t block, const unsigned char* data, std::size_t size) {
        const std::uint64_t start = table_.uncompressed[block];
        const std::size_t from = start < begin ? static_cast<std::size_t>(begin - start) : 0;
        const std::size_t to = static_cast<std::size_t>(std::min<std::uint64_t>(size, end - start));
        return Piece{data + from, to > from ? to - from : 0};
    };
    std::vector<Piece> pieces;
    const BlockWindow* active = active_window.source == this ? active_window.window : nullptr;
    if (active != nullptr || last_block - first_block + 1 <= kParallelBlocks) {
        std::vector<SharedBlock> held(last_block - first_block + 1);
        for (std::size_t block = first_block; block <= last_block; ++block) {
            std::size_t size = 0;
            Result<const unsigned char*> data = block_bytes(block, active, held[block - first_block], size);
            if (!data) return std::move(data.error());
            pieces.push_back(piece_of(block, data.value(), size));
        }
        visit(pieces);
        return std::nullopt;
    }
    BlockWindow window;
    for (std::size_t from = first_block; from <= last_block; from += kWindowBlocks) {
        const std::size_t to = std::min(last_block, from + kWindowBlocks - 1);
        std::vector<std::size_t> blocks(to - from + 1);
        for (std::size_t i = 0; i < blocks.size(); ++i) blocks[i] = from + i;
        window.fill(*this, std::move(blocks));
        pieces.clear();
        for (std::size_t block = from; block <= to; ++block) {
            std::size_t size = 0;
            const unsigned char* data = window.find(block, size);
            if (data == nullptr) {
                Result<SharedBlock> failed = inflate(block);  // gives the error again
                if (!failed) return std::move(failed.error());
                return damaged(table_.compressed[block], "BGZF block could not be read");
            }
            pieces.push_back(piece_of(block, data, size));
        }
        if (!visit(pieces)) return std::nullopt;
    }
    return std::nullopt;
}

// Each block is inflated into a buffer of its thread's own and visited
// there at once: no window to allocate, fill and read back from memory.
bool BgzfSource::visit_in_parallel(std::uint64_t begin, std::uint64_t end, const OffsetPieceVisitor& visit) const {
    end = std::min(end, size());
    if (begin >= end) return true;
    if (active_window.source == this) return false;  // a batch's window holds these blocks
    const std::size_t first = table_.block_of(begin);
    const std::size_t last = table_.block_of(end - 1);
    std::atomic<bool> refused{false};
    parallel_for_each_index(last - first + 1, [&](std::size_t i) {
        if (refused.load(std::memory_order_relaxed)) return;
        thread_local std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBgzfMaxInflatedSize]);
        const std::size_t block = first + i;
        Result<std::size_t> inflated = inflate_into(block, buffer.get());
        const std::uint64_t start = table_.uncompressed[block];
        const std::uint64_t from = std::max(begin, start);
        const std::uint64_t to = inflated ? std::min(end, start + inflated.value()) : from;
        if (!inflated || !visit(from, buffer.get() + (from - start), static_cast<std::size_t>(to - from)))
            refused.store(true, std::memory_order_relaxed);
    });
    return !refused.load();
}

}  // namespace sekvo
