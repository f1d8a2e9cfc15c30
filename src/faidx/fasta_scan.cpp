#include "faidx/fasta_scan.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/posix_io.hpp"
#include "faidx/mapping_guard.hpp"
#include "faidx/unicode_whitespace.hpp"
#include "faidx/worker_pool.hpp"
#include "faidx/warnings.hpp"

namespace sekvo {

namespace {

// Pieces small enough that validation and line scanning share the cache.
constexpr std::size_t kPieceSize = 256 * 1024;
// Files from this size on are scanned in parts on the worker pool: one
// thread cannot map and read the pages of a large file at the speed the
// memory allows.
constexpr std::uint64_t kParallelScanMinSize = 64 << 20;
// A part whose lines come in more runs than this is scanned again in one
// piece instead.
constexpr std::size_t kMostLineRuns = 1 << 20;

std::size_t trailing_carriage_returns(const unsigned char* begin, const unsigned char* end) {
    const unsigned char* q = end;
    while (q > begin && q[-1] == '\r') --q;
    return static_cast<std::size_t>(end - q);
}

Error invalid_utf8() { return Error::io_custom(kInvalidUtf8Message); }

// The line feeds of [p, end) in order. Compares 64 bytes at a time into a
// bit mask and walks its bits: for lines of 60 to 80 bytes this costs far
// less than a memchr call per line.
class LineFeeds {
public:
    LineFeeds(const unsigned char* p, const unsigned char* end) : block_(p), end_(end) { mask_ = load(block_); }

    // The next line feed, or null when there is none.
    const unsigned char* next() {
        while (mask_ == 0) {
            block_ += 64;
            if (block_ >= end_) return nullptr;
            mask_ = load(block_);
        }
        const unsigned bit = static_cast<unsigned>(__builtin_ctzll(mask_));
        mask_ &= mask_ - 1;
        return block_ + bit;
    }

private:
    std::uint64_t load(const unsigned char* block) const {
        std::uint64_t mask = 0;
        if (end_ - block >= 64) {
#if defined(__SSE2__)
            const __m128i line_feed = _mm_set1_epi8('\n');
            for (int i = 0; i < 4; ++i) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block) + i);
                const auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, line_feed)));
                mask |= std::uint64_t{bits} << (16 * i);
            }
            return mask;
#endif
        }
        const std::ptrdiff_t available = std::min<std::ptrdiff_t>(end_ - block, 64);
        for (std::ptrdiff_t i = 0; i < available; ++i)
            if (block[i] == '\n') mask |= std::uint64_t{1} << i;
        return mask;
    }

    const unsigned char* block_;
    const unsigned char* end_;
    std::uint64_t mask_ = 0;
};

}  // namespace

bool FastaScanner::feed(const unsigned char* data, std::size_t size) {
    if (!utf8_.feed(data, size)) return false;
    const unsigned char* p = data;
    const unsigned char* const end = data + size;
    if (in_line_) p = continue_line(p, end);
    if (p < end) {
        LineFeeds line_feeds(p, end);
        while (const unsigned char* line_feed = line_feeds.next()) {
            complete_line(p, line_feed, position_ + static_cast<std::uint64_t>(line_feed + 1 - data));
            p = line_feed + 1;
        }
        if (p < end) start_partial_line(p, end);
    }
    position_ += size;
    return true;
}

bool FastaScanner::finish() {
    if (!utf8_.finish()) return false;
    if (in_line_) {  // the last line lacks its line feed
        in_line_ = false;
        if (line_is_header_)
            on_header(header_, position_);
        else
            on_sequence_line(line_bytes_ - trailing_cr_, line_bytes_);
    }
    close_record();
    return true;
}

void FastaScanner::complete_line(const unsigned char* line, const unsigned char* line_feed,
                                 std::uint64_t end_position) {
    if (*line == '>') {
        on_header(std::string_view(reinterpret_cast<const char*>(line + 1),
                                   static_cast<std::size_t>(line_feed - line - 1)),
                  end_position);
        return;
    }
    std::uint64_t content = static_cast<std::uint64_t>(line_feed - line);
    on_sequence_line(content - trailing_carriage_returns(line, line_feed), content + 1);
}

void FastaScanner::start_partial_line(const unsigned char* p, const unsigned char* end) {
    in_line_ = true;
    line_is_header_ = *p == '>';
    header_.clear();
    line_bytes_ = 0;
    trailing_cr_ = 0;
    append_to_partial_line(line_is_header_ ? p + 1 : p, end);
}

void FastaScanner::append_to_partial_line(const unsigned char* p, const unsigned char* end) {
    if (line_is_header_) {
        header_.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p));
        return;
    }
    std::uint64_t size = static_cast<std::uint64_t>(end - p);
    std::uint64_t crs = trailing_carriage_returns(p, end);
    trailing_cr_ = crs == size ? trailing_cr_ + crs : crs;
    line_bytes_ += size;
}

const unsigned char* FastaScanner::continue_line(const unsigned char* p, const unsigned char* end) {
    const auto* line_feed =
        static_cast<const unsigned char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    append_to_partial_line(p, line_feed != nullptr ? line_feed : end);
    if (line_feed == nullptr) return end;
    in_line_ = false;
    if (line_is_header_) {
        std::uint64_t end_position = position_ + static_cast<std::uint64_t>(line_feed + 1 - p);
        on_header(header_, end_position);
    } else {
        on_sequence_line(line_bytes_ - trailing_cr_, line_bytes_ + 1);
    }
    return line_feed + 1;
}

void FastaScanner::on_header(std::string_view rest, std::uint64_t end_position) {
    if (log_ != nullptr) {
        log_->header(rest, end_position);
        return;
    }
    close_record();
    name_.assign(header_name(rest));
    offset_ = end_position;
    residues_ = lines_ = lenc_ = lenb_ = 0;
    seen_blank_ = seen_odd_line_ = ragged_ = false;
}

void FastaScanner::on_sequence_line(std::uint64_t residues, std::uint64_t bytes) {
    if (log_ != nullptr) {
        log_->sequence_line(residues, bytes);
        return;
    }
    if (lines_ == 0) {
        lenc_ = residues;
        lenb_ = bytes;
    } else if (!ragged_) {
        if (residues == 0) {
            seen_blank_ = true;  // harmless if only blank lines follow
        } else if (seen_blank_ || seen_odd_line_ || residues > lenc_) {
            ragged_ = true;
            if (!name_.empty())
                write_warning("sequence '" + name_ +
                              "' has lines of differing length; regions of it may be read wrongly");
        } else if (residues < lenc_ || bytes != lenb_) {
            seen_odd_line_ = true;  // fine as the last line
        }
    }
    residues_ += residues;
    ++lines_;
}

void FastaScanner::close_record() {
    if (name_.empty()) return;
    records_.push_back({std::move(name_), IndexEntry{residues_, offset_, lenc_, lenb_}});
    name_.clear();
}

void LineLog::header(std::string_view rest, std::uint64_t end_position) {
    headers_.emplace_back(rest);
    events_.push_back({end_position, 0, 0, headers_.size() - 1});
}

void LineLog::sequence_line(std::uint64_t residues, std::uint64_t bytes) {
    if (!events_.empty()) {
        Event& last = events_.back();
        if (last.count != 0 && last.residues == residues && last.bytes == bytes) {
            ++last.count;
            return;
        }
    }
    if (events_.size() >= kMostLineRuns) {
        overflowed_ = true;
        return;
    }
    events_.push_back({residues, bytes, 1, 0});
}

void LineLog::replay(FastaScanner& scanner) const {
    for (const Event& event : events_) {
        if (event.count == 0) {
            scanner.on_header(headers_[event.header], event.residues);
            continue;
        }
        // A few lines of one size settle the layout check (blank, odd or
        // ragged); more of them only add to the counts.
        const std::uint64_t stepped = std::min<std::uint64_t>(event.count, 4);
        for (std::uint64_t i = 0; i < stepped; ++i) scanner.on_sequence_line(event.residues, event.bytes);
        scanner.residues_ += event.residues * (event.count - stepped);
        scanner.lines_ += event.count - stepped;
    }
}

namespace {

Result<std::vector<ScannedRecord>> scan_in_one_piece(const unsigned char* data, std::uint64_t size) {
    FastaScanner scanner;
    for (std::uint64_t done = 0; done < size;) {
        std::size_t piece = static_cast<std::size_t>(size - done < kPieceSize ? size - done : kPieceSize);
        if (!scanner.feed(data + done, piece)) return invalid_utf8();
        done += piece;
    }
    if (!scanner.finish()) return invalid_utf8();
    return std::move(scanner.records());
}

// Part boundaries: about equal sizes, each part but the first starting just
// after a line feed.
std::vector<std::uint64_t> part_starts(const unsigned char* data, std::uint64_t size, std::size_t parts) {
    std::vector<std::uint64_t> starts{0};
    for (std::size_t k = 1; k < parts; ++k) {
        const std::uint64_t nominal = std::max(size / parts * k, starts.back());
        const void* line_feed = std::memchr(data + nominal, '\n', static_cast<std::size_t>(size - nominal));
        if (line_feed == nullptr) break;
        const auto start = static_cast<std::uint64_t>(static_cast<const unsigned char*>(line_feed) - data) + 1;
        if (start >= size) break;
        if (start > starts.back()) starts.push_back(start);
    }
    return starts;
}

}  // namespace

Result<std::vector<ScannedRecord>> scan_fasta(const unsigned char* data, std::uint64_t size,
                                              std::atomic<bool>* mapping_failed) {
    if (size < kParallelScanMinSize || pool_size() < 2) return scan_in_one_piece(data, size);
    return scan_fasta_in_parts(data, size, 4 * pool_size(), mapping_failed);
}

Result<std::vector<ScannedRecord>> scan_fasta_in_parts(const unsigned char* data, std::uint64_t size,
                                                       std::size_t parts, std::atomic<bool>* mapping_failed) {
    const std::vector<std::uint64_t> starts = part_starts(data, size, std::max<std::size_t>(parts, 1));
    std::vector<LineLog> logs(starts.size());
    std::vector<unsigned char> valid(starts.size(), 0);
    parallel_for_each_index(starts.size(), [&](std::size_t k) {
        std::optional<MappingGuard> guard;
        if (mapping_failed != nullptr) guard.emplace(data, size, *mapping_failed);
        const std::uint64_t end = k + 1 < starts.size() ? starts[k + 1] : size;
        FastaScanner part(starts[k], logs[k]);
        for (std::uint64_t done = starts[k]; done < end;) {
            const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(end - done, kPieceSize));
            if (!part.feed(data + done, piece) || logs[k].overflowed()) return;
            done += piece;
        }
        valid[k] = k + 1 < starts.size() || part.finish();
    });
    // Invalid text, or a layout that does not compress: the plain scan gives
    // the same error or result, with its warnings in the same order.
    for (std::size_t k = 0; k < starts.size(); ++k)
        if (!valid[k] || logs[k].overflowed()) return scan_in_one_piece(data, size);
    FastaScanner scanner;
    for (const LineLog& log : logs) log.replay(scanner);
    if (!scanner.finish()) return invalid_utf8();
    return std::move(scanner.records());
}

Result<std::vector<ScannedRecord>> scan_fasta_file(int fd) {
    FastaScanner scanner;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kPieceSize]);
    for (off_t position = 0;;) {
        const ssize_t got = pread_full(fd, buffer.get(), kPieceSize, position);
        if (got < 0) return Error::io_from_errno(errno);
        if (got == 0) break;
        if (!scanner.feed(buffer.get(), static_cast<std::size_t>(got))) return invalid_utf8();
        position += got;
    }
    if (!scanner.finish()) return invalid_utf8();
    return std::move(scanner.records());
}

}  // namespace sekvo
