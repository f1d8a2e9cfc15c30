#include "faidx/bgzf_scan.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "faidx/bgzf_block.hpp"
#include "faidx/utf8.hpp"
#include "faidx/worker_pool.hpp"

namespace sekvo {

namespace {

constexpr std::uint64_t kParallelScanMinSize = 64 << 20;

Error invalid_utf8() { return Error::io_custom(kInvalidUtf8Message); }

Result<std::vector<ScannedRecord>> scan_block_by_block(const BgzfSource& source) {
    FastaScanner scanner;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBgzfMaxInflatedSize]);
    for (std::size_t block = 0; block < source.table().blocks(); ++block) {
        Result<std::size_t> inflated = source.inflate_into(block, buffer.get());
        if (!inflated) return std::move(inflated.error());
        if (!scanner.feed(buffer.get(), inflated.value())) return invalid_utf8();
    }
    if (!scanner.finish()) return invalid_utf8();
    return std::move(scanner.records());
}

// One part: its blocks from just after the first line feed in them, and the
// blocks after them up to and including the next line feed, so that the
// parts together hold every line once. Lines go into a LineLog as in the
// scan of a plain file in parts.
struct PartScan {
    LineLog log;
    std::optional<Error> error;
    bool valid = false;

    void run(const BgzfSource& source, std::size_t first_block, std::size_t end_block, bool starts_text) {
        const BlockTable& table = source.table();
        std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBgzfMaxInflatedSize]);
        std::optional<FastaScanner> scanner;
        if (starts_text) scanner.emplace(0, log);
        for (std::size_t block = first_block; block < table.blocks(); ++block) {
            Result<std::size_t> inflated = source.inflate_into(block, buffer.get());
            if (!inflated) {
                error = std::move(inflated.error());
                return;
            }
            const unsigned char* data = buffer.get();
            std::size_t size = inflated.value();
            const bool overrun = block >= end_block;
            if (!scanner) {
                if (overrun) break;  // no line starts in this part
                const void* line_feed = std::memchr(data, '\n', size);
                if (line_feed == nullptr) continue;
                const auto skipped = static_cast<std::size_t>(static_cast<const unsigned char*>(line_feed) - data) + 1;
                scanner.emplace(table.uncompressed[block] + skipped, log);
                data += skipped;
                size -= skipped;
            }
            bool line_ended = false;
            if (overrun) {
                const void* line_feed = std::memchr(data, '\n', size);
                if (line_feed != nullptr) {
                    size = static_cast<std::size_t>(static_cast<const unsigned char*>(line_feed) - data) + 1;
                    line_ended = true;
                }
            }
            if (!scanner->feed(data, size) || log.overflowed()) return;
            if (line_ended) {
                valid = true;
                return;
            }
        }
        // The text ended inside this part or its overrun.
        valid = !scanner || scanner->finish();
    }
};

}  // namespace

Result<std::vector<ScannedRecord>> scan_bgzf(const BgzfSource& source) {
    if (source.size() < kParallelScanMinSize || pool_size() < 2) return scan_block_by_block(source);
    return scan_bgzf_in_parts(source, 4 * pool_size());
}

Result<std::vector<ScannedRecord>> scan_bgzf_in_parts(const BgzfSource& source, std::size_t parts) {
    const std::size_t blocks = source.table().blocks();
    parts = std::min(std::max<std::size_t>(parts, 1), blocks);
    if (parts <= 1) return scan_block_by_block(source);
    std::vector<PartScan> scans(parts);
    parallel_for_each_index(parts, [&](std::size_t k) {
        scans[k].run(source, blocks * k / parts, blocks * (k + 1) / parts, k == 0);
    });
    for (PartScan& scan : scans)
        if (scan.error) return std::move(*scan.error);
    // Invalid text, or a layout that does not compress: the plain scan gives
    // the same error or result, with its warnings in the same order.
    for (const PartScan& scan : scans)
        if (!scan.valid || scan.log.overflowed()) return scan_block_by_block(source);
    FastaScanner scanner;
    for (const PartScan& scan : scans) scan.log.replay(scanner);
    if (!scanner.finish()) return invalid_utf8();
    return std::move(scanner.records());
}

}  // namespace sekvo
