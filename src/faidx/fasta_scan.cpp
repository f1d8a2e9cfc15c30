#include "faidx/fasta_scan.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "faidx/unicode_whitespace.hpp"
#include "faidx/warnings.hpp"

namespace sekvo {

namespace {

// Pieces small enough that validation and line scanning share the cache.
constexpr std::size_t kPieceSize = 256 * 1024;

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
    close_record();
    name_.assign(header_name(rest));
    offset_ = end_position;
    residues_ = lines_ = lenc_ = lenb_ = 0;
    seen_blank_ = seen_odd_line_ = ragged_ = false;
}

void FastaScanner::on_sequence_line(std::uint64_t residues, std::uint64_t bytes) {
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

Result<std::vector<ScannedRecord>> scan_fasta(const unsigned char* data, std::uint64_t size) {
    FastaScanner scanner;
    for (std::uint64_t done = 0; done < size;) {
        std::size_t piece = static_cast<std::size_t>(size - done < kPieceSize ? size - done : kPieceSize);
        if (!scanner.feed(data + done, piece)) return invalid_utf8();
        done += piece;
    }
    if (!scanner.finish()) return invalid_utf8();
    return std::move(scanner.records());
}

Result<std::vector<ScannedRecord>> scan_fasta_file(int fd) {
    FastaScanner scanner;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kPieceSize]);
    for (off_t position = 0;;) {
        ssize_t got = ::pread(fd, buffer.get(), kPieceSize, position);
        if (got < 0) {
            if (errno == EINTR) continue;
            return Error::io_from_errno(errno);
        }
        if (got == 0) break;
        if (!scanner.feed(buffer.get(), static_cast<std::size_t>(got))) return invalid_utf8();
        position += got;
    }
    if (!scanner.finish()) return invalid_utf8();
    return std::move(scanner.records());
}

}  // namespace sekvo
